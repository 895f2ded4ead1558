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
static_assert(sizeof(CodeMeta) == 16, "a meta fits in the last 16 bytes of a code's line");

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

// Where codes and metas lie in a chunk: slots go in blocks of
// 1 << group_shift, each block their codes back to back (every code starts a
// cache line) and then their metas. When at least 16 bytes of a code's last
// line are left after the components, a block is one slot and its meta lies
// in those bytes (the kernels read it there as code bytes and multiply it by
// zero levels): a walk reading a code finds its meta in the same line.
// Otherwise a block is the 64 slots of a scan's run (table/point_table.h),
// their metas in the 16 lines after their codes, so that a scan reads both
// in one pass, and a walk finds a meta in the same 9 KiB as its code,
// without a byte more per point.
inline constexpr uint32_t CODE_GROUP_SHIFT = 6;  // the slots of a block of many: 64

struct CodeLayout {
  size_t stride = 0;    // code_stride of the rows' dimension; 0 while it gets no codes
  size_t block = 0;     // bytes of a block
  size_t meta_at = 0;   // where in a block its first meta lies
  uint32_t group_shift = 0;
};

inline CodeLayout code_layout(size_t dim) {
  CodeLayout layout;
  if (dim > CODE_MAX_DIM) return layout;
  layout.stride = code_stride(dim);
  if (dim + sizeof(CodeMeta) <= layout.stride) {
    layout.block = layout.stride;
    layout.meta_at = layout.stride - sizeof(CodeMeta);
  } else {
    layout.group_shift = CODE_GROUP_SHIFT;
    layout.meta_at = layout.stride << layout.group_shift;
    layout.block = layout.meta_at + (sizeof(CodeMeta) << layout.group_shift);
  }
  return layout;
}

struct CodeChunkDelete {
  void operator()(uint8_t* data) const;
};
using CodeChunk = std::unique_ptr<uint8_t[], CodeChunkDelete>;

// Codes by slot, beside the rows: chunk k holds the codes and metas of the
// slots of row chunk k (the rows' ROW_CHUNK_SLOTS), laid out as CodeLayout
// says, and exists exactly when the row chunk does (while the rows'
// dimension has codes). A slot of an existing chunk without a code (its
// vector is not in the rows, or cannot be coded) has a meta with a negative
// residual.
struct CodeStore : CodeLayout {
  std::vector<CodeChunk> chunks;
};

// Encodes `dim` components into `code` (code_stride(dim) bytes, the padding
// zeroed) and their meta, but for the norm, which the caller sets. Returns false, with meta.residual negative and the
// code zeroed, when the vector gets no code.
bool encode_point_code(const float* components, size_t dim, uint8_t* code, CodeMeta& meta);

// A chunk of `slots` codes in `layout` (`slots` a multiple of its blocks):
// zeroed codes, each with the meta of a point without a code.
CodeChunk allocate_code_chunk(size_t slots, const CodeLayout& layout);

}  // namespace tarnwick
