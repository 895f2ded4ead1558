// Compact codes of the rows' vectors: one byte per component (an affine
// quantisation with a per-point offset and scale) and a stored upper bound of
// the quantisation residual's norm. Codes are derived data: made from the
// vectors whenever a row is written, never saved, and used only to prove what
// an exact comparison would decide (index/code_bounds.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tarnwick {

// A point's code: component i stands for offset + scale * code[i], and the
// Euclidean norm of the differences from the true components is at most
// `residual`. A negative residual marks a point without a code.
// `norm` repeats the table's norm of the point, so that a walk deciding from
// the code finds everything it needs in one line.
struct CodeMeta {
  float offset = 0.0f;
  float scale = 0.0f;
  float residual = -1.0f;
  float norm = 0.0f;
};
static_assert(sizeof(CodeMeta) == 16, "a meta fills the last 16 bytes of its code's record");

// Vectors longer than this, with a component that is not finite or larger
// in magnitude than CODE_MAX_MAGNITUDE, or whose largest component is below
// CODE_MIN_MAGNITUDE get no code: the bounds' error model needs every sum to
// stay far from overflow, and a vector that small as a whole would get no
// useful bound. (Single components in or near the subnormal range are fine:
// the model accounts for products that fall below the normal range.)
inline constexpr size_t CODE_MAX_DIM = size_t{1} << 16;
inline constexpr float CODE_MAX_MAGNITUDE = 0x1p50f;
inline constexpr float CODE_MIN_MAGNITUDE = 0x1p-100f;

// Bytes a code of `dim` components is read as: whole cache lines, zero past
// `dim` (the kernels read all of them; the query's levels are zero there).
inline size_t code_stride(size_t dim) { return (dim + 63) / 64 * 64; }

// Bytes from one point's code to the next in the code chunks. A point's
// record is its code followed by its CodeMeta, in the record's last 16 bytes,
// so that a walk reading a code finds its meta in the same or the next line:
// in the code's own padding when at least 16 bytes of it are left after the
// components (the kernels read the meta there as code bytes and multiply it by
// zero levels), otherwise right after the code.
inline size_t code_record_bytes(size_t dim) {
  const size_t code = code_stride(dim);
  return dim + sizeof(CodeMeta) <= code ? code : code + sizeof(CodeMeta);
}

struct CodeChunkDelete {
  void operator()(uint8_t* data) const;
};
using CodeChunk = std::unique_ptr<uint8_t[], CodeChunkDelete>;

// Codes by slot, beside the rows: chunk k holds the code records of the
// slots of row chunk k (the rows' ROW_CHUNK_SLOTS), `record` bytes each, and
// exists exactly when the row chunk does (while the rows' dimension has
// codes). A slot of an existing chunk without a code (its vector is not in
// the rows, or cannot be coded) has a meta with a negative residual.
struct CodeStore {
  size_t stride = 0;  // code_stride of the rows' dimension; 0 while it gets no codes
  size_t record = 0;  // code_record_bytes of the rows' dimension
  std::vector<CodeChunk> chunks;
};

// Encodes `dim` components into `code` (code_stride(dim) bytes, the padding
// zeroed) and their meta, but for the norm, which the caller sets. Returns false, with meta.residual negative and the
// code zeroed, when the vector gets no code.
bool encode_point_code(const float* components, size_t dim, uint8_t* code, CodeMeta& meta);

// A chunk of `slots` code records of `record` bytes: zeroed codes, each with
// the meta of a point without a code.
CodeChunk allocate_code_chunk(size_t slots, size_t record);

}  // namespace tarnwick
