// The query metrics and the exact float32 arithmetic of every score: products
// and sums rounded one at a time, each sum running upward from -0.0.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tarnwick {

enum class Metric : uint8_t { DotProduct = 0, Cosine = 1, Euclidean = 2 };

// The distance of a pair of vectors that cannot be compared.
inline constexpr float MAX_DISTANCE = std::numeric_limits<float>::max();

inline constexpr std::string_view DIMENSION_MISMATCH =
    "Dimension mismatch: Vector lengths must be structurally identical.";
inline constexpr std::string_view ZERO_MAGNITUDE =
    "Vector magnitude mathematically cannot be zero during cosine normalization steps.";

// Parses a metric name after full Unicode lower-casing; nothing is trimmed.
std::optional<Metric> parse_metric(std::string_view utf8_name);

// A score, or the text of why the pair cannot be scored.
struct MetricResult {
  float value = 0.0f;
  std::string_view failure;  // empty on success
  bool ok() const { return failure.empty(); }
};

MetricResult dot_score(std::span<const float> q, std::span<const float> v);
MetricResult euclidean_distance(std::span<const float> q, std::span<const float> v);
MetricResult cosine_similarity(std::span<const float> q, std::span<const float> v);
// 1 - cosine similarity; MAX_DISTANCE for a pair whose similarity fails.
float cosine_distance(std::span<const float> q, std::span<const float> v);

// The in-order sums the metrics are built from.
float dot_sum(const float* q, const float* v, size_t n);
float squared_distance_sum(const float* q, const float* v, size_t n);
float squared_norm(std::span<const float> v);
// The square root of the in-order squared norm: the norm cosine divides by.
float vector_norm(std::span<const float> v);
// out[r] = vector_norm of rows[r] (each `dim` long), several rows at a time:
// every row's sum still runs in index order.
void vector_norms(const float* const* rows, size_t count, size_t dim, float* out);

// Every score is computed by one set of scan kernels (index/scan_kernels.h),
// chosen once per process from TARNWICK_SCAN_KERNELS. Empty when that setting
// is usable, else why it is refused; the module refuses to load with one.
const std::string& scan_kernels_failure();

// Cosine similarity from a dot sum and the two norms (square roots of the
// squared norms); the caller has ruled out zero norms.
inline float cosine_from_norms(float dot, float query_norm, float point_norm) {
  return dot / (query_norm * point_norm);
}

}  // namespace tarnwick
