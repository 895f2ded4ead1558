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
static_assert(sizeof(CodeMeta) == 16, "a meta fits the last 16 bytes of a code's padding");

// Vectors longer than this, with a component that is not finite or larger
// in magnitude than CODE_MAX_MAGNITUDE, or whose largest component is below
// CODE_MIN_MAGNITUDE get no code: the bounds' error model needs every sum to
// stay far from overflow, and a vector that small as a whole would get no
// useful bound. (Single components in or near the subnormal range are fine:
// the model accounts for products that fall below the normal range.)
inline constexpr size_t CODE_MAX_DIM = size_t{1} << 16;
inline constexpr float CODE_MAX_MAGNITUDE = 0x1p50f;
inline constexpr float CODE_MIN_MAGNITUDE = 0x1p-100f;

// Bytes a code of `dim` components takes in the code rows: whole cache lines.
inline size_t code_stride(size_t dim) { return (dim + 63) / 64 * 64; }

// Whether a meta fits in the last 16 bytes of the padding of a code of `dim`
// components (for example 100: 28 bytes are left in its second line). The
// kernels read those bytes as code bytes and multiply them by the query's
// levels past `dim`, which are zero, so the sums do not change.
inline bool code_meta_fits_padding(size_t dim) {
  return dim != 0 && dim <= CODE_MAX_DIM && code_stride(dim) - dim >= sizeof(CodeMeta);
}

struct CodeChunkDelete {
  void operator()(uint8_t* data) const;
};
using CodeChunk = std::unique_ptr<uint8_t[], CodeChunkDelete>;

// Codes by slot, beside the rows: chunk k holds the codes of the slots of
// row chunk k (the rows' ROW_CHUNK_SLOTS), `stride` bytes each, and exists
// exactly when the row chunk does (while the rows' dimension has codes).
// Each point's meta lies in its code's padding when the rows' dimension
// leaves room for it (`meta_in_padding`: a walk reading a code finds its meta
// in the code's last line, and `meta` stays empty), otherwise in `meta`, by
// slot. Read and write metas through code_meta_of and set_code_meta.
struct CodeStore {
  size_t stride = 0;  // 0 while the rows' dimension gets no codes
  bool meta_in_padding = false;
  std::vector<CodeChunk> chunks;
  std::vector<CodeMeta> meta;  // by slot, every slot, unless meta_in_padding
};

// Encodes `dim` components into `code` (code_stride(dim) bytes, the padding
// zeroed) and their meta, but for the norm, which the caller sets. Returns false, with meta.residual negative and the
// code zeroed, when the vector gets no code.
bool encode_point_code(const float* components, size_t dim, uint8_t* code, CodeMeta& meta);

// A chunk of `slots` codes of `stride` bytes, zeroed.
CodeChunk allocate_code_chunk(size_t slots, size_t stride);

}  // namespace tarnwick
