// Kernels over compact codes, and the fast float kernel builds use. The code
// kernels return exact integers, so every kernel set returns the same value;
// the fast kernel reassociates its sums and is used only where no caller
// sees a distance (building the graph).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick {

// out[r] = sum over i < stride of levels[i] * codes[r][i], exactly, for `count`
// codes. `stride` is a code_stride (a multiple of 64); the caller keeps every
// sum inside int32 (the query's levels are chosen so that it is).
using CodeDotKernel = void (*)(const int16_t* levels, const uint8_t* const* codes, size_t count,
                               size_t stride, int32_t* out);
// The same for `count` codes lying one after another, `stride` bytes apart.
using CodeRunKernel = void (*)(const int16_t* levels, const uint8_t* codes, size_t count,
                               size_t stride, int32_t* out);
// out[r] = q . rows[r] in float32 with any order of additions and fused
// multiply-adds: close to, but not always equal to, the in-order dot sum.
using FastDotKernel = void (*)(const float* q, const float* const* rows, size_t count, size_t dim,
                               float* out);

// The bounds of a run of coded points' scores (index/code_bound_runs.h).
enum class BoundedScore : uint8_t;
struct CodeQuery;
struct CodeMeta;
using ScoreBoundsKernel = void (*)(BoundedScore score, const CodeQuery& q, const CodeMeta* meta,
                                   const int32_t* level_dots, size_t count, float query_norm,
                                   float* low, float* high);

void scalar_score_bounds(BoundedScore score, const CodeQuery& q, const CodeMeta* meta,
                         const int32_t* level_dots, size_t count, float query_norm, float* low,
                         float* high);
void scalar_code_dots(const int16_t* levels, const uint8_t* const* codes, size_t count,
                      size_t stride, int32_t* out);
void scalar_code_run(const int16_t* levels, const uint8_t* codes, size_t count, size_t stride,
                     int32_t* out);
void scalar_fast_dots(const float* q, const float* const* rows, size_t count, size_t dim,
                      float* out);

#if defined(TARNWICK_HAVE_AVX2)
void avx2_code_dots(const int16_t* levels, const uint8_t* const* codes, size_t count,
                    size_t stride, int32_t* out);
void avx2_code_run(const int16_t* levels, const uint8_t* codes, size_t count, size_t stride,
                   int32_t* out);
void avx2_score_bounds(BoundedScore score, const CodeQuery& q, const CodeMeta* meta,
                       const int32_t* level_dots, size_t count, float query_norm, float* low,
                       float* high);
void avx2_fast_dots(const float* q, const float* const* rows, size_t count, size_t dim,
                    float* out);
#endif
#if defined(TARNWICK_HAVE_AVX512)
// With the VNNI instructions (checked by the caller).
void avx512_code_dots(const int16_t* levels, const uint8_t* const* codes, size_t count,
                      size_t stride, int32_t* out);
void avx512_code_run(const int16_t* levels, const uint8_t* codes, size_t count, size_t stride,
                     int32_t* out);
void avx512_score_bounds(BoundedScore score, const CodeQuery& q, const CodeMeta* meta,
                         const int32_t* level_dots, size_t count, float query_norm, float* low,
                         float* high);
void avx512_fast_dots(const float* q, const float* const* rows, size_t count, size_t dim,
                      float* out);
#endif

}  // namespace tarnwick
