#include "index/metrics.h"

#include <cmath>
#include <string>

namespace tarnwick {


std::optional<Metric> parse_metric(std::string_view name) {
  // Under full Unicode lower-casing the only code point outside ASCII that
  // becomes ASCII is the Kelvin sign (to 'k'), and no metric name holds a 'k'.
  // So a name with any byte outside ASCII is never recognised, and ASCII
  // lower-casing decides the rest.
  if (name.size() > 11) return std::nullopt;  // the longest name, "dot_product"
  std::string lowered;
  for (char c : name) {
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
    lowered.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
  }
  if (lowered == "cosine") return Metric::Cosine;
  if (lowered == "dot_product" || lowered == "dot") return Metric::DotProduct;
  if (lowered == "euclidean" || lowered == "l2") return Metric::Euclidean;
  return std::nullopt;
}

float dot_sum(const float* q, const float* v, size_t n) {
  float s = -0.0f;
  for (size_t i = 0; i < n; ++i) s += q[i] * v[i];
  return s;
}

float squared_distance_sum(const float* q, const float* v, size_t n) {
  float s = -0.0f;
  for (size_t i = 0; i < n; ++i) {
    float d = q[i] - v[i];
    s += d * d;
  }
  return s;
}

float squared_norm(std::span<const float> v) { return dot_sum(v.data(), v.data(), v.size()); }

float vector_norm(std::span<const float> v) { return std::sqrt(squared_norm(v)); }

void vector_norms(const float* const* rows, size_t count, size_t dim, float* out) {
  // Eight independent sums in flight hide the latency of each one's adds.
  constexpr size_t LANES = 8;
  size_t r = 0;
  for (; r + LANES <= count; r += LANES) {
    float sums[LANES];
    for (size_t k = 0; k < LANES; ++k) sums[k] = -0.0f;
    for (size_t i = 0; i < dim; ++i) {
      for (size_t k = 0; k < LANES; ++k) sums[k] += rows[r + k][i] * rows[r + k][i];
    }
    for (size_t k = 0; k < LANES; ++k) out[r + k] = std::sqrt(sums[k]);
  }
  for (; r < count; ++r) out[r] = vector_norm({rows[r], dim});
}

MetricResult dot_score(std::span<const float> q, std::span<const float> v) {
  if (q.size() != v.size()) return {0.0f, DIMENSION_MISMATCH};
  return {dot_sum(q.data(), v.data(), q.size()), {}};
}

MetricResult euclidean_distance(std::span<const float> q, std::span<const float> v) {
  if (q.size() != v.size()) return {0.0f, DIMENSION_MISMATCH};
  return {std::sqrt(squared_distance_sum(q.data(), v.data(), q.size())), {}};
}

MetricResult cosine_similarity(std::span<const float> q, std::span<const float> v) {
  if (q.size() != v.size()) return {0.0f, DIMENSION_MISMATCH};
  float dot = dot_sum(q.data(), v.data(), q.size());
  float nq = squared_norm(q);
  float nv = squared_norm(v);
  if (nq == 0.0f || nv == 0.0f) return {0.0f, ZERO_MAGNITUDE};
  return {cosine_from_norms(dot, std::sqrt(nq), std::sqrt(nv)), {}};
}

float cosine_distance(std::span<const float> q, std::span<const float> v) {
  MetricResult similarity = cosine_similarity(q, v);
  return similarity.ok() ? 1.0f - similarity.value : MAX_DISTANCE;
}

}  // namespace tarnwick
