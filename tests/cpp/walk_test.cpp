// Checks of the walks over hand-made graphs (long lists, dangling slots,
// foreign entry points) against a literal model of the walk procedure, for
// every metric.
#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "index/hnsw.h"
#include "index/layer_search.h"
#include "index/metrics.h"
#include "index/walk_memory.h"
#include "storage/search.h"
#include "storage/store.h"
#include "check.h"

using namespace tarnwick;

namespace {

uint32_t put(Store& store, uint64_t id, const std::vector<float>& v) {
  return put_point(store.points, id, id, v, vector_norm(v), nullptr);
}

// ---- a literal model of the walks, keyed by slot, measuring by the metric ----

float model_distance(Metric metric, std::span<const float> q, std::span<const float> v) {
  switch (metric) {
    case Metric::Cosine:
      return cosine_distance(q, v);
    case Metric::Euclidean: {
      MetricResult r = euclidean_distance(q, v);
      return r.ok() ? r.value : MAX_DISTANCE;
    }
    case Metric::DotProduct: {
      MetricResult r = dot_score(q, v);
      return r.ok() ? -r.value : MAX_DISTANCE;
    }
  }
  return MAX_DISTANCE;
}

struct ModelPair {
  float d;
  uint32_t slot;
};

bool record_at(const PointTable& points, uint32_t slot) {
  return has_record(points, slot);
}

std::vector<ScoredPoint> model_graph_search(const Store& store, std::span<const float> q,
                                            uint64_t limit, Metric metric) {
  const PointTable& points = store.points;
  const HnswIndex& graph = store.graph;
  auto dist = [&](uint32_t slot) {
    return record_at(points, slot) ? model_distance(metric, q, point_vector(points, slot))
                                   : MAX_DISTANCE;
  };
  // Walks by Euclidean distance or the inner product pass zero vectors by:
  // kept as results, never moved to, expanded as if at MAX_DISTANCE.
  float squares = -0.0f;
  for (float x : q) squares += x * x;
  const float zero_d = metric == Metric::Euclidean    ? std::sqrt(squares)
                       : metric == Metric::DotProduct ? 0.0f
                                                      : NAN;
  auto passes_by = [&](uint32_t slot, float d) {
    return d == zero_d && vector_norm(point_vector(points, slot)) == 0.0f;
  };
  uint32_t current = find_slot(points, *graph.entry_point);
  if (current == NO_SLOT) return {};
  for (uint64_t layer = graph.max_level; layer >= 1; --layer) {
    // greedy_search_layer
    float best_d = dist(current);
    if (graph.node_count == 0 || layer > 15) continue;
    bool moving_off = record_at(points, current) && passes_by(current, best_d);
    for (;;) {
      std::span<const uint32_t> list = neighbors(graph, current, layer);
      if (!has_node(graph, current) || list.empty() || points.record_count == 0) break;
      bool moved = false;
      for (uint32_t n : list) {
        if (!record_at(points, n)) continue;
        float d = dist(n);
        if (passes_by(n, d)) continue;
        if (d < (moving_off ? MAX_DISTANCE : best_d)) {
          best_d = d;
          current = n;
          moved = true;
          moving_off = false;
        }
      }
      if (!moved) break;
    }
  }
  // search_base_layer
  std::vector<ModelPair> nearest;
  size_t ef = graph.ef_search;
  if (record_at(points, current)) {
    std::vector<bool> visited(slot_count(points), false);
    visited[current] = true;
    float d0 = dist(current);
    std::vector<ModelPair> candidates{{d0, current}};
    nearest = candidates;
    auto by_d = [](const ModelPair& a, const ModelPair& b) { return a.d < b.d; };
    while (!candidates.empty()) {
      std::stable_sort(candidates.begin(), candidates.end(), by_d);
      uint32_t u = candidates.front().slot;
      candidates.erase(candidates.begin());
      float worst = MAX_DISTANCE;
      if (!nearest.empty()) {
        worst = nearest[0].d;
        for (size_t i = 1; i < nearest.size(); ++i) worst = worst > nearest[i].d ? worst : nearest[i].d;
      }
      if (!has_node(graph, u)) continue;
      for (uint32_t n : neighbors(graph, u, 0)) {
        if (n >= visited.size() || visited[n]) continue;
        visited[n] = true;
        if (!record_at(points, n)) continue;
        float d = dist(n);
        if (worst > d || nearest.size() < ef) {
          candidates.push_back({passes_by(n, d) ? MAX_DISTANCE : d, n});
          nearest.push_back({d, n});
          if (nearest.size() > ef) {
            std::stable_sort(nearest.begin(), nearest.end(), by_d);
            nearest.pop_back();
          }
        }
      }
    }
    std::stable_sort(nearest.begin(), nearest.end(), by_d);
  }
  std::vector<ScoredPoint> result;
  for (const ModelPair& pair : nearest) {
    if (result.size() >= limit) break;
    std::span<const float> v = point_vector(points, pair.slot);
    float score;
    if (metric == Metric::Cosine) {
      score = 1.0f - pair.d;
    } else if (metric == Metric::DotProduct) {
      score = v.size() != q.size() ? 0.0f : dot_score(q, v).value;
    } else {
      score = v.size() != q.size() ? MAX_DISTANCE : euclidean_distance(q, v).value;
    }
    result.push_back({record_id(points, pair.slot), score});
  }
  bool larger = metric != Metric::Euclidean;
  std::stable_sort(result.begin(), result.end(), [&](const ScoredPoint& a, const ScoredPoint& b) {
    return larger ? a.score > b.score : a.score < b.score;
  });
  return result;
}

// A hand-made graph of the kind only a loaded file makes: lists longer than any
// cap, repeats, self links, slots without records, records without nodes, a
// max_level above 15, and vectors with many exact ties.
void fill_hand_made(Store& store, std::mt19937_64& rng) {
  std::uniform_int_distribution<int> small(-2, 2);
  size_t records = 520 + rng() % 200;
  for (size_t i = 0; i < records; ++i) {
    uint64_t id = (rng() % 4 == 0) ? rng() : i * 7;
    if (i == 5) id = UINT64_MAX;
    size_t dim = (rng() % 20 == 0) ? 7 : (rng() % 40 == 0 ? 0 : 8);
    std::vector<float> v(dim);
    for (float& x : v) x = static_cast<float>(small(rng));
    put(store, id, v);
  }
  for (int i = 0; i < 30; ++i) slot_for_key(store.points, (uint64_t{1} << 63) + i);  // dangling
  uint32_t slots = static_cast<uint32_t>(slot_count(store.points));
  HnswIndex& graph = store.graph;
  graph.m = 1 + rng() % 16;
  graph.ef_search = std::vector<uint64_t>{1, 3, 8, 32, 40}[rng() % 5];
  graph.max_level = rng() % 3 == 0 ? 17 + rng() % 3 : rng() % 4;
  for (uint32_t slot = 0; slot < slots; ++slot) {
    if (rng() % 15 == 0) continue;  // a record or placeholder without a node
    NeighborLists lists;
    size_t length0 = rng() % 45;  // past the layer-0 cap of 32 now and then
    for (size_t i = 0; i < length0; ++i) lists[0].push_back(rng() % slots);
    for (size_t layer = 1; layer < MAX_LAYERS; ++layer) {
      if (rng() % (4 * layer) != 0) continue;
      size_t length = rng() % 20;
      for (size_t i = 0; i < length; ++i) lists[layer].push_back(rng() % slots);
    }
    install_node(graph, slot, slot_key(store.points, slot), slot_key(store.points, slot),
                 std::move(lists), 0);
  }
  switch (rng() % 6) {
    case 0:
      graph.entry_point = (uint64_t{1} << 63) + 3;  // a node (maybe) but no point
      break;
    case 1:
      graph.entry_point = 123456789123ull;  // nothing at all under it
      break;
    default:
      graph.entry_point = slot_key(store.points, static_cast<uint32_t>(rng() % records));
  }
}

void test_walks_match_the_procedure() {
  std::mt19937_64 rng(20240611);
  std::uniform_int_distribution<int> small(-2, 2);
  size_t compared = 0, nonempty = 0;
  for (int round = 0; round < 40; ++round) {
    Store store;
    fill_hand_made(store, rng);
    for (int k = 0; k < 12; ++k) {
      size_t dim = k == 0 ? 7 : (k == 1 ? 0 : 8);
      std::vector<float> q(dim);
      for (float& x : q) x = static_cast<float>(small(rng));
      for (Metric metric : {Metric::Cosine, Metric::DotProduct, Metric::Euclidean}) {
        for (uint64_t limit : {uint64_t{0}, uint64_t{1}, store.graph.ef_search / 2 + 1,
                               store.graph.ef_search}) {
          limit = std::min(limit, store.graph.ef_search);
          std::vector<ScoredPoint> got = search_points(store, q, limit, metric, std::nullopt);
          std::vector<ScoredPoint> want = model_graph_search(store, q, limit, metric);
          bool same = got.size() == want.size();
          for (size_t i = 0; same && i < got.size(); ++i) {
            same = got[i].id == want[i].id &&
                   std::memcmp(&got[i].score, &want[i].score, sizeof(float)) == 0;
          }
          if (!same) {
            std::printf("round %d query %d metric %d limit %llu: got %zu want %zu\n", round, k,
                        int(metric), (unsigned long long)limit, got.size(), want.size());
          }
          CHECK(same);
          ++compared;
          nonempty += !want.empty();
        }
      }
    }
  }
  CHECK(nonempty > compared / 2);  // the graphs really were walked
}

// The default beam's heaps compare order_bits alone: it must order any two
// pairs as `nearer` does (distances as order keys, both zeros alike, every
// NaN last with +inf, then the order reached), and be equal only for equals.
void test_order_bits_orders_as_nearer() {
  std::mt19937_64 rng(20261210);
  const float specials[] = {0.0f,          -0.0f,         INFINITY,
                            -INFINITY,     NAN,           -NAN,
                            std::bit_cast<float>(0x7f800001u),  // signalling NaN
                            std::bit_cast<float>(0xffc12345u),  // negative NaN, payload
                            1.0f,          -1.0f,         0x1p-149f,
                            -0x1p-149f,    0x1p-126f,     FLT_MAX,
                            -FLT_MAX,      MAX_DISTANCE,  2.0f};
  auto draw_distance = [&]() -> float {
    switch (rng() % 3) {
      case 0:
        return specials[rng() % std::size(specials)];
      case 1:
        return std::bit_cast<float>(static_cast<uint32_t>(rng()));
      default:
        return static_cast<float>(static_cast<int>(rng() % 5) - 2);
    }
  };
  auto draw_seq = [&]() -> uint32_t {
    return rng() % 2 == 0 ? static_cast<uint32_t>(rng() % 3) : static_cast<uint32_t>(rng());
  };
  size_t mismatches = 0;
  for (int i = 0; i < 200000; ++i) {
    const WalkPair a{draw_distance(), draw_seq(), 0};
    const WalkPair b{rng() % 4 == 0 ? a.distance : draw_distance(), draw_seq(), 0};
    const uint64_t ka = walk_detail::order_bits(a.distance, a.seq);
    const uint64_t kb = walk_detail::order_bits(b.distance, b.seq);
    const bool agree = (ka < kb) == walk_detail::nearer(a, b) &&
                       (kb < ka) == walk_detail::nearer(b, a);
    if (!agree && mismatches++ < 5) {
      std::printf("order_bits: %a (seq %u) against %a (seq %u)\n", a.distance, a.seq, b.distance,
                  b.seq);
    }
  }
  CHECK(mismatches == 0);
}

}  // namespace

int main() {
  test_order_bits_orders_as_nearer();
  test_walks_match_the_procedure();
  return tarnwick_test::finish_checks();
}
