// Soundness of the bounds from codes, as a property over random and
// adversarial pairs: for every length, value family and kernel set, either no
// bound is claimed or the float the exact kernels return lies inside it, for
// every metric. Also: the code kernels of every set return the reference
// integers, the fast dot stays close to the in-order one, and the bounds are
// narrow enough to decide for ordinary data.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "check.h"
#include "index/code_bound_runs.h"
#include "index/code_bounds.h"
#include "index/metrics.h"
#include "index/scan_kernels.h"
#include "table/point_codes.h"

using namespace tarnwick;

namespace {

constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

enum class Family {
  Gaussian,
  Uniform,
  Huge,         // magnitudes near and beyond the coded range
  Tiny,         // magnitudes near and inside the subnormal range
  MixedScales,  // one huge component among tiny ones
  Cancelling,   // the point is nearly the negated query
  NearQuery,    // the point is nearly the query (distance near zero)
  Signs,        // +-1, -0.0 and 0 only
  Constant,
  TinyParts,    // ordinary vectors with some components near or in the
                // subnormal range (as sentence embeddings have)
  GridCancel,   // an exactly coded point and a query whose products cancel:
                // the float sum's own rounding is most of the bound
  Special,      // a NaN or an infinity somewhere
  Count,
};

// Huge and Tiny draw one scale per pair, so that some pairs sit just inside
// the coded range (products of tiny ones fall below the normal range) and
// some just outside it.
float draw(std::mt19937_64& rng, Family family, float scale) {
  std::normal_distribution<float> normal;
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  switch (family) {
    case Family::Gaussian:
      return normal(rng);
    case Family::Uniform:
      return unit(rng) * 1000.0f;
    case Family::Huge:
    case Family::Tiny: {
      // Magnitudes in [scale/2, scale], either sign.
      const float x = scale * (0.5f + 0.5f * std::fabs(unit(rng)));
      return rng() % 2 ? x : -x;
    }
    case Family::MixedScales:
      return rng() % 17 == 0 ? unit(rng) * 1e12f : unit(rng) * 1e-12f;
    case Family::TinyParts: {
      static const float tiny[] = {1e-35f, 1e-38f, 1e-40f, 1e-45f, -1e-42f, 0x1p-126f};
      return rng() % 4 == 0 ? tiny[rng() % 6] : normal(rng);
    }
    case Family::Signs: {
      static const float values[] = {1.0f, -1.0f, -0.0f, 0.0f};
      return values[rng() % 4];
    }
    default:
      return normal(rng);
  }
}

struct Pair {
  std::vector<float> query;
  std::vector<float> point;
};

float pair_scale(std::mt19937_64& rng, Family family) {
  static const float huge[] = {0x1p40f, 0x1p49f, 0x1p50f, 0x1p51f, 1e20f, 3e38f};
  static const float tiny[] = {1e-20f, 0x1p-98f, 0x1p-99f, 0x1p-100f, 1e-38f, 1e-40f, 1e-45f};
  if (family == Family::Huge) return huge[rng() % 6];
  if (family == Family::Tiny) return tiny[rng() % 7];
  return 1.0f;
}

Pair make_pair(std::mt19937_64& rng, size_t n, Family family) {
  Pair p{std::vector<float>(n), std::vector<float>(n)};
  const float query_scale = pair_scale(rng, family);
  const float point_scale = rng() % 2 ? query_scale : pair_scale(rng, family);
  for (size_t i = 0; i < n; ++i) p.query[i] = draw(rng, family, query_scale);
  std::normal_distribution<float> normal;
  for (size_t i = 0; i < n; ++i) {
    switch (family) {
      case Family::Cancelling:
        p.point[i] = -p.query[i] * (1.0f + 1e-6f * normal(rng));
        break;
      case Family::NearQuery:
        p.point[i] = p.query[i] + 1e-5f * normal(rng);
        break;
      case Family::Constant:
        p.point[i] = 0.75f;
        break;
      case Family::GridCancel:
        // Codes 0..255 of offset 0 and scale 1: the residual is zero.
        p.point[i] = static_cast<float>(i % 2 ? 255 : (rng() % 256));
        p.query[i] = (i % 2 ? 1.0f : -1.0f) * (1e6f + static_cast<float>(rng() % 1000)) /
                     (p.point[i] == 0.0f ? 1.0f : p.point[i]);
        break;
      default:
        p.point[i] = draw(rng, family, point_scale);
    }
  }
  if (family == Family::Special && n > 0) {
    static const float specials[] = {NaN, INF, -INF};
    (rng() % 2 ? p.query : p.point)[rng() % n] = specials[rng() % 3];
  }
  return p;
}

struct Tally {
  size_t pairs = 0;
  size_t claimed = 0;
};

// The exact results of the kernels of `set` for one pair, and those of the reference.
struct ExactSums {
  float dot;
  float squared;
};

ExactSums exact_sums(const ScanKernels& set, const Pair& p) {
  const size_t n = p.query.size();
  const float* rows[SCAN_BLOCK];
  for (size_t r = 0; r < SCAN_BLOCK; ++r) rows[r] = p.point.data();
  float dots[SCAN_BLOCK], squares[SCAN_BLOCK];
  set.dot(p.query.data(), rows, n, dots);
  set.squared_distance(p.query.data(), rows, n, squares);
  return {dots[0], squares[0]};
}

bool same_float(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// lo <= x <= hi for a float that is a number.
bool inside(float x, FloatInterval bounds) { return bounds.low <= x && x <= bounds.high; }

void check_pair(const Pair& p, Tally& tally, std::vector<const ScanKernels*>& sets) {
  const size_t n = p.query.size();
  ++tally.pairs;
  std::vector<uint8_t> code(code_stride(n) + 64);
  CodeMeta meta;
  const bool coded = encode_point_code(p.point.data(), n, code.data(), meta);
  CodeQuery query;
  prepare_code_query(p.query, query);
  const float point_norm = vector_norm(p.point);
  meta.norm = point_norm;
  const float query_norm = vector_norm(p.query);
  const float reference_dot = dot_sum(p.query.data(), p.point.data(), n);
  const float reference_squared = squared_distance_sum(p.query.data(), p.point.data(), n);

  // The integer sums: every set returns the reference's.
  int32_t level_dot = 0;
  if (coded && query.usable) {
    const uint8_t* codes[1] = {code.data()};
    scalar_code_dots(query.levels.data(), codes, 1, code_stride(n), &level_dot);
    for (const ScanKernels* set : sets) {
      int32_t got[5];
      const uint8_t* five[5] = {code.data(), code.data(), code.data(), code.data(), code.data()};
      set->code_dots(query.levels.data(), five, 5, code_stride(n), got);
      for (int32_t g : got) CHECK(g == level_dot);
      std::vector<uint8_t> run(5 * code_stride(n));
      for (size_t r = 0; r < 5; ++r) std::memcpy(run.data() + r * code_stride(n), code.data(), code_stride(n));
      set->code_run(query.levels.data(), run.data(), 5, code_stride(n), got);
      for (int32_t g : got) CHECK(g == level_dot);
    }
  }

  FloatInterval dot_bounds{}, squared_bounds{};
  const bool have_dot = coded && dot_sum_bounds(query, meta, level_dot, dot_bounds);
  const bool have_squared =
      coded && squared_distance_sum_bounds(query, meta, level_dot, squared_bounds);
  // Claimed only for finite pairs: then both bounds hold for every set's float.
  if (have_dot != have_squared) CHECK(have_dot == have_squared);
  if (!have_dot) return;
  ++tally.claimed;
  for (const ScanKernels* set : sets) {
    ExactSums sums = exact_sums(*set, p);
    CHECK(same_float(sums.dot, reference_dot));
    CHECK(same_float(sums.squared, reference_squared));
    if (!inside(sums.dot, dot_bounds)) {
      std::printf("dot %.9g outside [%.9g, %.9g], n %zu\n", sums.dot, dot_bounds.low,
                  dot_bounds.high, n);
      CHECK(false);
    }
    if (!inside(sums.squared, squared_bounds)) {
      std::printf("squared %.9g outside [%.9g, %.9g], n %zu\n", sums.squared,
                  squared_bounds.low, squared_bounds.high, n);
      CHECK(false);
    }
    // What the metrics make of the sums: cosine similarity and distance,
    // Euclidean distance, the negated dot of walks.
    FloatInterval similarity{};
    if (query_norm != 0.0f && point_norm != 0.0f &&
        cosine_similarity_bounds(dot_bounds, query_norm, point_norm, similarity)) {
      MetricResult exact = cosine_similarity(p.query, p.point);
      CHECK(exact.ok());
      CHECK(inside(exact.value, similarity));
      CHECK(inside(cosine_distance(p.query, p.point), cosine_distance_bounds(similarity)));
    }
    MetricResult euclid = euclidean_distance(p.query, p.point);
    CHECK(inside(euclid.value, euclidean_distance_bounds(squared_bounds)));
    // The run kernels: the same bounds in every set, holding the exact scores.
    const float exact_scores[3] = {sums.dot, cosine_similarity(p.query, p.point).value,
                                   euclid.value};
    for (int kind = 0; kind < 3; ++kind) {
      float low[3], high[3], reference_low[3], reference_high[3];
      const CodeMeta metas[3] = {meta, meta, meta};
      const int32_t dots[3] = {level_dot, level_dot, level_dot};
      set->score_bounds(static_cast<BoundedScore>(kind), query, metas, dots, 3, query_norm, low, high);
      scalar_score_bounds(static_cast<BoundedScore>(kind), query, metas, dots, 3, query_norm,
                          reference_low, reference_high);
      for (int r = 0; r < 3; ++r) {
        CHECK(same_float(low[r], reference_low[r]) && same_float(high[r], reference_high[r]));
        if (kind == 1 && (query_norm == 0.0f || point_norm == 0.0f)) continue;  // left out
        if (!inside(exact_scores[kind], FloatInterval{low[r], high[r]})) {
          std::printf("run bounds kind %d: %.9g outside [%.9g, %.9g]\n", kind, exact_scores[kind],
                      low[r], high[r]);
          CHECK(false);
        }
      }
    }
    CHECK(-dot_bounds.high <= -sums.dot && -sums.dot <= -dot_bounds.low);
  }
}

const size_t LENGTHS[] = {0, 1, 2, 3, 7, 8, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 127, 128,
                          129, 255, 256, 384, 511, 512, 768, 1000, 1024, 2047, 2048, 3000, 4095, 4096};

void soundness(std::vector<const ScanKernels*>& sets) {
  std::mt19937_64 rng(20261208);
  Tally per_family[static_cast<size_t>(Family::Count)];
  for (size_t n : LENGTHS) {
    const size_t repeats = n <= 512 ? 12 : 3;
    for (size_t f = 0; f < static_cast<size_t>(Family::Count); ++f) {
      for (size_t r = 0; r < repeats; ++r) {
        check_pair(make_pair(rng, n, static_cast<Family>(f)), per_family[f], sets);
      }
    }
  }
  // Bounds are claimed where the model holds: not a vacuous property.
  for (size_t f = 0; f < static_cast<size_t>(Family::Count); ++f) {
    std::printf("family %zu: %zu of %zu pairs bounded\n", f, per_family[f].claimed,
                per_family[f].pairs);
  }
  for (Family f : {Family::Gaussian, Family::Uniform, Family::Cancelling, Family::NearQuery,
                   Family::Signs, Family::Constant, Family::MixedScales, Family::GridCancel,
                   Family::TinyParts}) {
    const Tally& t = per_family[static_cast<size_t>(f)];
    CHECK(t.claimed * 10 >= t.pairs * 9);
  }
  CHECK(per_family[static_cast<size_t>(Family::Special)].claimed == 0);
  // Inside the coded range at both ends, outside it beyond.
  for (Family f : {Family::Huge, Family::Tiny}) {
    const Tally& t = per_family[static_cast<size_t>(f)];
    CHECK(t.claimed * 10 >= t.pairs && t.claimed < t.pairs);
  }
}

// Edge cases one by one: zero vectors, the ends of the coded range, ties of
// the bounds with the exact value.
void edges(std::vector<const ScanKernels*>& sets) {
  Tally tally;
  for (size_t n : {1, 2, 5, 64, 128, 300}) {
    for (float big : {0x1p50f, 0x1p-100f, 1.0f, 0.0f, -0.0f}) {
      Pair p{std::vector<float>(n, big), std::vector<float>(n, -big)};
      check_pair(p, tally, sets);
      Pair same{std::vector<float>(n, big), std::vector<float>(n, big)};
      check_pair(same, tally, sets);
      Pair zero{std::vector<float>(n, big), std::vector<float>(n, 0.0f)};
      check_pair(zero, tally, sets);
      Pair alternating{std::vector<float>(n), std::vector<float>(n)};
      for (size_t i = 0; i < n; ++i) {
        alternating.query[i] = i % 2 ? big : -big;
        alternating.point[i] = i % 3 ? 1.0f : -0.0f;
      }
      check_pair(alternating, tally, sets);
    }
  }
  // Out of the coded range: no bound.
  CodeQuery query;
  prepare_code_query(std::vector<float>{1.0f, 0x1p51f}, query);
  CHECK(!query.usable);
  prepare_code_query(std::vector<float>{1.0f, 1e-40f}, query);
  CHECK(query.usable);
  prepare_code_query(std::vector<float>{1e-38f, 1e-40f}, query);
  CHECK(!query.usable);
  prepare_code_query(std::vector<float>{}, query);
  CHECK(!query.usable);
  std::vector<uint8_t> code(64);
  CodeMeta meta;
  CHECK(!encode_point_code(std::vector<float>{NaN, 1.0f}.data(), 2, code.data(), meta));
  CHECK(meta.residual < 0.0f);
  CHECK(!encode_point_code(std::vector<float>{INF}.data(), 1, code.data(), meta));
  CHECK(encode_point_code(std::vector<float>{0.0f, 0.0f}.data(), 2, code.data(), meta));
  CHECK(meta.residual == 0.0f);
}

// For ordinary data the bounds are narrow: a cosine interval of Gaussian
// 128-d vectors is well under 0.05 wide, or walks could decide nothing.
void narrowness() {
  std::mt19937_64 rng(7);
  double widest = 0.0;
  for (int r = 0; r < 200; ++r) {
    Pair p = make_pair(rng, 128, Family::Gaussian);
    std::vector<uint8_t> code(128);
    CodeMeta meta;
    CHECK(encode_point_code(p.point.data(), 128, code.data(), meta));
    meta.norm = vector_norm(p.point);
    CodeQuery query;
    prepare_code_query(p.query, query);
    int32_t level_dot;
    const uint8_t* codes[1] = {code.data()};
    scalar_code_dots(query.levels.data(), codes, 1, 128, &level_dot);
    FloatInterval dot{}, similarity{};
    CHECK(dot_sum_bounds(query, meta, level_dot, dot));
    CHECK(cosine_similarity_bounds(dot, vector_norm(p.query), vector_norm(p.point), similarity));
    widest = std::max<double>(widest, similarity.high - similarity.low);
  }
  std::printf("widest cosine interval of Gaussian 128-d pairs: %.5f\n", widest);
  CHECK(widest < 0.05);
}

// The fast dot of builds is within the usual reassociation error of the
// in-order one, for every set.
void fast_dots(std::vector<const ScanKernels*>& sets) {
  std::mt19937_64 rng(11);
  for (size_t n : {1, 7, 31, 32, 33, 100, 128, 384, 1000}) {
    Pair p = make_pair(rng, n, Family::Gaussian);
    double exact = 0.0, magnitude = 0.0;
    for (size_t i = 0; i < n; ++i) {
      exact += double{p.query[i]} * p.point[i];
      magnitude += std::fabs(double{p.query[i]} * p.point[i]);
    }
    const float* rows[3] = {p.point.data(), p.point.data(), p.point.data()};
    for (const ScanKernels* set : sets) {
      float got[3];
      set->fast_dots(p.query.data(), rows, 3, n, got);
      for (float g : got) CHECK(std::fabs(g - exact) <= 2.0 * n * 0x1p-24 * magnitude + 1e-30);
    }
  }
}

}  // namespace

int main() {
  std::vector<const ScanKernels*> sets = runnable_scan_kernels();
  for (const ScanKernels* set : sets) std::printf("kernel set %s\n", set->name);
  soundness(sets);
  edges(sets);
  narrowness();
  fast_dots(sets);
  return tarnwick_test::finish_checks();
}
