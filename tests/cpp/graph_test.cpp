// Checks of the graph that need its internals: insertion invariants,
// reachability, link bookkeeping and the parallel parts of a build.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <deque>
#include <mutex>
#include <random>
#include <vector>

#include "index/graph_insert.h"
#include "index/hnsw.h"
#include "index/layer_search.h"
#include "index/link_census.h"
#include "index/metrics.h"
#include "index/one_way_links.h"
#include "index/spanning_tree.h"
#include "persist/coding.h"
#include "persist/snapshot.h"
#include "storage/search.h"
#include "storage/store.h"
#include "util/worker_pool.h"
#include "check.h"

using namespace tarnwick;

namespace {

uint32_t put(Store& store, uint64_t id, const std::vector<float>& v) {
  return put_point(store.points, id, id, v, vector_norm(v), nullptr);
}

// ---- insertion ----

void test_level_draw() {
  CHECK(level_from_bits(0, 16) == 15);
  CHECK(level_from_bits(uint64_t{1} << 11, 16) == 13);  // the smallest nonzero u
  CHECK(level_from_bits(UINT64_MAX, 16) == 0);
  CHECK(level_from_bits(uint64_t{1} << 63, 16) == 0);   // u = 1/2
  CHECK(level_from_bits(uint64_t{1} << 59, 16) == 1);   // u = 1/32
  CHECK(level_from_bits(12345, 1) == 15);               // -1/ln 1 saturates
  CHECK(level_from_bits(uint64_t{1} << 40, 0) == 0);
  std::mt19937_64 rng(3);
  bool saw14 = false;
  for (int i = 0; i < 100000; ++i) saw14 |= level_from_bits(rng(), 16) == 14;
  CHECK(!saw14);
}

std::vector<float> clustered(std::mt19937_64& rng, size_t dim, size_t clusters,
                             const std::vector<std::vector<float>>& centres) {
  std::normal_distribution<float> noise(0.0f, 0.35f);
  const std::vector<float>& c = centres[rng() % clusters];
  std::vector<float> v(dim);
  for (size_t i = 0; i < dim; ++i) v[i] = c[i] + noise(rng);
  return v;
}

void test_first_and_second_point() {
  Store store;
  uint32_t a = put(store, 10, {1, 0, 0});
  insert_node(store.graph, store.points, a, 10, 2);
  CHECK(store.graph.entry_point == 10u);
  CHECK(store.graph.max_level == 2);
  for (size_t layer = 0; layer < MAX_LAYERS; ++layer) CHECK(neighbors(store.graph, a, layer).empty());

  uint32_t b = put(store, 11, {1, 1, 0});
  insert_node(store.graph, store.points, b, 11, 4);
  for (size_t layer = 0; layer <= 2; ++layer) {
    CHECK(std::vector<uint32_t>(neighbors(store.graph, b, layer).begin(),
                                neighbors(store.graph, b, layer).end()) == std::vector<uint32_t>{a});
    CHECK(std::vector<uint32_t>(neighbors(store.graph, a, layer).begin(),
                                neighbors(store.graph, a, layer).end()) == std::vector<uint32_t>{b});
  }
  CHECK(neighbors(store.graph, b, 3).empty() && neighbors(store.graph, b, 4).empty());
  CHECK(store.graph.entry_point == 11u);  // drawn above max_level
  CHECK(store.graph.max_level == 4);

  uint32_t c = put(store, 12, {0, 1, 0});
  insert_node(store.graph, store.points, c, 12, 4);  // equal to max_level: no move
  CHECK(store.graph.entry_point == 11u);
  CHECK(store.graph.max_level == 4);
  CHECK(store.graph.node_count == 3);

  // A zero vector and one of another length still get linked.
  uint32_t z = put(store, 13, {0, 0, 0});
  insert_node(store.graph, store.points, z, 13, 0);
  uint32_t o = put(store, 14, {1, 2});
  insert_node(store.graph, store.points, o, 14, 0);
  CHECK(!neighbors(store.graph, z, 0).empty());
  CHECK(!neighbors(store.graph, o, 0).empty());

  // Re-inserting the entry point, whatever level is drawn, keeps it the entry
  // point with its level and lists, where every descent starts.
  insert_node(store.graph, store.points, b, 11, 0);
  CHECK(store.graph.entry_point == 11u);
  CHECK(store.graph.max_level == 4);
  for (size_t layer = 1; layer <= 4; ++layer) CHECK(!neighbors(store.graph, b, layer).empty());
  CHECK(store.graph.node_count == 5);
}

size_t reachable_share_permille(const Store& store, size_t* nodes_out) {
  const HnswIndex& graph = store.graph;
  uint32_t entry = find_slot(store.points, *graph.entry_point);
  std::vector<bool> seen(slot_count(store.points), false);
  std::deque<uint32_t> queue{entry};
  seen[entry] = true;
  size_t reached = 0;
  while (!queue.empty()) {
    uint32_t u = queue.front();
    queue.pop_front();
    ++reached;
    for (uint32_t n : neighbors(graph, u, 0)) {
      if (!seen[n]) {
        seen[n] = true;
        queue.push_back(n);
      }
    }
  }
  *nodes_out = graph.node_count;
  return reached * 1000000 / graph.node_count;
}

void test_build_invariants_and_reachability() {
  std::mt19937_64 rng(77);
  const size_t dim = 16, clusters = 40, count = 6000;
  std::normal_distribution<float> spread(0.0f, 1.0f);
  std::vector<std::vector<float>> centres(clusters, std::vector<float>(dim));
  for (auto& c : centres) for (float& x : c) x = spread(rng);
  Store store;
  for (size_t i = 0; i < count; ++i) {
    uint32_t slot = put(store, i * 3 + 1, clustered(rng, dim, clusters, centres));
    insert_node(store.graph, store.points, slot, i * 3 + 1, level_from_bits(rng(), 16));
  }
  // Re-insert a tenth of the ids with new vectors.
  for (size_t i = 0; i < count; i += 10) {
    uint32_t slot = put(store, i * 3 + 1, clustered(rng, dim, clusters, centres));
    insert_node(store.graph, store.points, slot, i * 3 + 1, level_from_bits(rng(), 16));
  }
  const HnswIndex& graph = store.graph;
  CHECK(graph.node_count == count);
  bool capped = true, clean = true;
  size_t links = 0;
  for (uint32_t slot = 0; slot < slot_count(store.points); ++slot) {
    for (size_t layer = 0; layer < MAX_LAYERS; ++layer) {
      std::span<const uint32_t> list = neighbors(graph, slot, layer);
      capped &= list.size() <= (layer == 0 ? 2 * graph.m : graph.m);
      std::vector<uint32_t> sorted(list.begin(), list.end());
      std::sort(sorted.begin(), sorted.end());
      clean &= std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
      clean &= !std::binary_search(sorted.begin(), sorted.end(), slot);
      // Every link names a node with a list at its layer (a re-inserted node
      // keeps its level): none leads a walk into a dead end.
      for (uint32_t n : list) clean &= has_list(graph, n, layer);
      if (layer == 0) links += list.size();
    }
  }
  CHECK(capped);
  CHECK(clean);
  CHECK(links >= count * 8);  // far from a tree
  size_t nodes = 0;
  size_t share = reachable_share_permille(store, &nodes);
  std::printf("reachable: %zu of 1e6 (%zu nodes), mean layer-0 list %.1f\n", share, nodes,
              double(links) / count);
  CHECK(share == 1000000);
  CHECK(check_link_bookkeeping(graph, store.points).empty());
  // A load of what this store wrote makes the whole bookkeeping itself, the
  // tree included (nothing left for the first change), without changing a list.
  auto check_load = [](const Store& written, const char* stage) {
    const ByteBuffer bytes = encode_snapshot(written.points, written.graph);
    SnapshotState loaded;
    CHECK(decode_snapshot(bytes.view(), loaded).ok());
    const std::string problem = check_link_bookkeeping(loaded.graph, loaded.points);
    std::printf("loaded %s: %s%s\n", stage, problem.empty() ? "whole" : problem.c_str(),
                loaded.graph.tree_pending ? ", nodes left for the first change" : "");
    CHECK(loaded.graph.bookkeeping && !loaded.graph.tree_pending && problem.empty());
    const ByteBuffer again = encode_snapshot(loaded.points, loaded.graph);
    CHECK(again.view() == bytes.view());
  };
  check_load(store, "after the build");

  // Deletions, found around each node by its in-link counts, then a batch
  // large enough to take a scan, keep every count, tree edge and path.
  std::vector<uint64_t> gone;
  for (size_t i = 0; i < count; i += 7) gone.push_back(i * 3 + 1);
  size_t existed = 0;
  for (size_t i = 0; i < 40; ++i) CHECK(delete_points(store, std::span(&gone[i], 1), existed).ok());
  std::string broken = check_link_bookkeeping(store.graph, store.points);
  std::printf("after single deletes: %s\n", broken.empty() ? "whole" : broken.c_str());
  CHECK(broken.empty());
  CHECK(delete_points(store, std::span(gone).subspan(40), existed).ok());
  broken = check_link_bookkeeping(store.graph, store.points);
  std::printf("after a batch delete: %s\n", broken.empty() ? "whole" : broken.c_str());
  CHECK(broken.empty());
  CHECK(store.graph.node_count == count - gone.size());
  check_load(store, "after the deletes");
}

// A load leaves no node of the tree for the first change when the file's
// lists name it both ways with a node already holding its share of tree
// edges: m = 2 (a share of 2), the root names nodes 1 to 4 and each names it
// back; the tree takes 1 and 2 below the root as it walks, and 3 and 4 below
// it all the same, past the share. Nodes 5 and 6 name each other only, and
// the root names 5 one way: they wait for the first change.
void test_load_leaves_no_node_outside_that_it_can_take_in() {
  auto file = [](bool with_pair) {
    std::vector<char> bytes(4096);
    Writer out{bytes.data()};
    const uint64_t points = with_pair ? 7 : 5;
    put_varint(out, points);
    for (uint64_t key = 0; key < points; ++key) {
      put_varint(out, key);
      put_varint(out, key);
      put_varint(out, 2);
      const float vector[2] = {1.0f, static_cast<float>(key)};
      put_floats(out, vector);
      put_byte(out, 0);
    }
    for (uint64_t value : {uint64_t{2}, uint64_t{8}, uint64_t{8}}) put_varint(out, value);
    put_byte(out, 1);
    put_varint(out, 0);  // the entry point
    put_varint(out, 0);  // max level
    put_varint(out, points);
    const std::vector<std::vector<uint64_t>> lists = {
        with_pair ? std::vector<uint64_t>{1, 2, 3, 4, 5} : std::vector<uint64_t>{1, 2, 3, 4}, {0}, {0},
        {0}, {0}, {6}, {5}};
    for (uint64_t key = 0; key < points; ++key) {
      put_varint(out, key);
      put_varint(out, key);
      put_varint(out, lists[key].size());
      for (uint64_t n : lists[key]) put_varint(out, n);
      for (int layer = 1; layer < 16; ++layer) put_varint(out, 0);
    }
    bytes.resize(static_cast<size_t>(out.next - bytes.data()));
    return bytes;
  };
  for (bool with_pair : {false, true}) {
    const std::vector<char> bytes = file(with_pair);
    SnapshotState loaded;
    CHECK(decode_snapshot(std::string_view(bytes.data(), bytes.size()), loaded).ok());
    CHECK(loaded.graph.bookkeeping);
    CHECK(loaded.graph.tree_pending == with_pair);
    for (uint64_t past_share : {3, 4}) {
      CHECK(tree_parent_of(loaded.graph, find_slot(loaded.points, past_share)) ==
            find_slot(loaded.points, 0));
    }
    if (!with_pair) CHECK(check_link_bookkeeping(loaded.graph, loaded.points).empty());
  }
}

// Copies of one vector cost an insertion what distinct points cost. The work
// of an insertion (its walks' and selections' distance evaluations, as the
// measurement counters count them) over the last quarter of a build of 2,000
// and of 8,000 points, for all-copies, a quarter of copies, near-copies (one
// vector up to noise below rounding), close points (one vector up to small
// noise) and distinct gaussian points. Copies and near-copies work as much at
// 8,000 points as at 2,000 (within 1.5x), and every kind's work over that of
// distinct points grows by at most 1.5x from 2,000 to 8,000 points. Where
// lists fill (32 dimensions) every kind works at most 1.5x as much as distinct
// points; in two dimensions the heuristic keeps distinct points' lists short,
// and copies, whose lists it cannot prune, work more (printed). Every layer-0
// list stays within its budget (no node takes in the copies the others
// refuse) and the bookkeeping holds, through single and parallel batch
// insertions.
void test_copies_cost_what_distinct_points_cost() {
  enum Kind { DISTINCT, QUARTER_COPIES, COPIES, NEAR_COPIES, CLOSE_POINTS };
  const char* names[] = {"distinct", "25% copies", "copies", "near-copies", "close points"};
  for (size_t dim : {2, 32}) {
    double per_insert[5][2] = {};
    // On a short arc of two dimensions, thousands of points a hundredth
    // apart come within rounding of each other: close points take 32.
    for (int kind = DISTINCT; kind <= (dim == 2 ? NEAR_COPIES : CLOSE_POINTS); ++kind) {
      for (size_t size_index = 0; size_index < 2; ++size_index) {
        const size_t count = size_index == 0 ? 2000 : 8000;
        std::mt19937_64 rng(dim * 10 + static_cast<size_t>(kind));
        std::normal_distribution<float> gauss(0.0f, 1.0f);
        std::vector<float> one(dim);
        for (float& x : one) x = gauss(rng);
        Store store;
        uint64_t work = 0;
        for (size_t i = 0; i < count; ++i) {
          std::vector<float> v(dim);
          for (size_t k = 0; k < dim; ++k) {
            const float noise = gauss(rng);
            switch (kind) {
              case DISTINCT: v[k] = noise; break;
              case QUARTER_COPIES: v[k] = i % 4 == 0 ? one[k] : noise; break;
              case COPIES: v[k] = one[k]; break;
              case NEAR_COPIES: v[k] = one[k] + 1e-6f * noise; break;
              case CLOSE_POINTS: v[k] = one[k] + 1e-2f * noise; break;
            }
          }
          uint32_t slot = put(store, i, v);
          const WalkReads before = thread_walk_reads();
          insert_node(store.graph, store.points, slot, i, level_from_bits(rng(), 16));
          if (i >= count - count / 4) {
            work += thread_walk_reads().full + thread_walk_reads().coded - before.full - before.coded;
          }
        }
        per_insert[kind][size_index] = double(work) / double(count / 4);
        size_t longest = 0;
        for (uint32_t slot = 0; slot < slot_count(store.points); ++slot) {
          longest = std::max(longest, layer0_neighbors(store.graph, slot).size());
        }
        CHECK(longest <= link_cap(store.graph, 0));
        CHECK(check_link_bookkeeping(store.graph, store.points).empty());
      }
      std::printf("d %zu, %s: %.0f and %.0f distances per insertion at 2000 and 8000 points\n",
                  dim, names[kind], per_insert[kind][0], per_insert[kind][1]);
      if (kind == COPIES || kind == NEAR_COPIES) {
        CHECK(per_insert[kind][1] <= 1.5 * per_insert[kind][0]);
      }
      CHECK(per_insert[kind][1] / per_insert[DISTINCT][1] <=
            1.5 * per_insert[kind][0] / per_insert[DISTINCT][0]);
      if (dim == 32) CHECK(per_insert[kind][1] <= 1.5 * per_insert[DISTINCT][1]);
    }
  }
  // The same through parallel batches, for copies and a quarter of copies.
  for (size_t share : {1, 4}) {
    Store store;
    const size_t dim = 8, count = 6000;
    std::mt19937_64 rng(share);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    std::vector<float> one(dim);
    for (float& x : one) x = gauss(rng);
    for (size_t batch = 0; batch < 3; ++batch) {
      std::vector<uint64_t> ids;
      std::vector<std::vector<float>> rows;
      for (size_t i = 0; i < count / 3; ++i) {
        ids.push_back(batch * count + i);
        std::vector<float> v(one);
        if (i % share != 0) for (float& x : v) x = gauss(rng);
        rows.push_back(std::move(v));
      }
      std::vector<std::span<const float>> spans(rows.begin(), rows.end());
      std::vector<std::unique_ptr<Payload>> payloads(ids.size());
      CHECK(upsert_batch(store, ids, spans, payloads).ok());
    }
    size_t longest = 0;
    for (uint32_t slot = 0; slot < slot_count(store.points); ++slot) {
      longest = std::max(longest, layer0_neighbors(store.graph, slot).size());
    }
    CHECK(longest <= link_cap(store.graph, 0));
    CHECK(check_link_bookkeeping(store.graph, store.points).empty());
  }
}

// The tenant beam passes through other tenants' points: a tenant of scattered
// points, each surrounded by others, is found whole; past its budget the beam
// gives up.
void test_tenant_beam_passes_through_other_tenants() {
  std::mt19937_64 rng(91);
  const size_t dim = 8, clusters = 12, count = 3000;
  std::normal_distribution<float> spread(0.0f, 1.0f);
  std::vector<std::vector<float>> centres(clusters, std::vector<float>(dim));
  for (auto& c : centres) for (float& x : c) x = spread(rng);
  Store store;
  std::vector<uint32_t> members;
  for (size_t i = 0; i < count; ++i) {
    auto payload = std::make_unique<Payload>();
    payload->entries.push_back({"tenant_id", PayloadValue::keyword(i % 100 == 0 ? "b" : "a")});
    std::vector<float> v = clustered(rng, dim, clusters, centres);
    uint32_t slot = put_point(store.points, i, i, v, vector_norm(v), std::move(payload));
    if (i % 100 == 0) members.push_back(slot);
    insert_node(store.graph, store.points, slot, i, level_from_bits(rng(), 16));
  }
  uint32_t tenant = find_tenant(store.points, "b");
  std::vector<float> q = clustered(rng, dim, clusters, centres);
  WalkQuery walk = make_walk_query(q, WalkMeasure::Euclidean);
  uint32_t entry = find_slot(store.points, *store.graph.entry_point);
  float distance = measure_slot(walk, store.points, entry);
  std::vector<WalkPair> nearest;
  WalkScratch scratch;
  CHECK(search_base_layer_of_tenant(store.graph, store.points, walk, entry, distance, 64, tenant,
                                    count, scratch, nearest));
  std::vector<uint32_t> found;
  for (const WalkPair& pair : nearest) found.push_back(pair.slot);
  std::sort(found.begin(), found.end());
  CHECK(found == members);
  CHECK(std::is_sorted(nearest.begin(), nearest.end(), [](const WalkPair& a, const WalkPair& b) {
    return a.distance < b.distance;
  }));
  CHECK(!search_base_layer_of_tenant(store.graph, store.points, walk, entry, distance, 64, tenant,
                                     100, scratch, nearest));
}

// The one-way index against a model of sets, through random adds, removes
// and clears (block reuse, the first block's holes, and targets crowded past
// their blocks into a set included).
// The census against the lists read directly: for every slot, the slots
// naming it in ascending order, which of them its own list does not name
// back, and a bit per entry of its list whose target names it back. Lists as
// a loaded file may hold them: entries repeated, a slot naming itself, lists
// longer than the bits, entries past the table; taken alone and in ranges on
// a pool.
void test_link_census_matches_the_lists() {
  WorkerPool pool(3);
  for (size_t slots : {1, 5, 2047, 2049, 9000}) {
    std::mt19937_64 rng(slots);
    Store store;
    for (size_t i = 0; i < slots; ++i) put(store, i, {1.0f, float(i)});
    std::vector<std::vector<uint32_t>> lists(slots);
    for (uint32_t slot = 0; slot < slots; ++slot) {
      const size_t length = rng() % 50 == 0 ? 70 + rng() % 60 : rng() % 33;
      for (size_t i = 0; i < length; ++i) {
        const uint64_t pick = rng() % 16;
        // Near neighbours, often named back; some far, some repeated, some
        // the slot itself, a few past the table.
        uint32_t n = pick < 9   ? uint32_t((slot + rng() % 7 + slots - 3) % slots)
                     : pick < 13 ? uint32_t(rng() % slots)
                     : pick < 14 && i > 0 ? lists[slot][rng() % i]
                     : pick < 15 ? slot
                                 : uint32_t(slots + rng() % 5);
        lists[slot].push_back(n);
      }
      NeighborLists node;
      node[0] = lists[slot];
      install_node(store.graph, slot, slot, slot, node, 0);
    }
    auto names = [&](uint32_t owner, uint32_t n) {
      return std::find(lists[owner].begin(), lists[owner].end(), n) != lists[owner].end();
    };
    for (WorkerPool* on : {static_cast<WorkerPool*>(nullptr), &pool}) {
      const LinkCensus census = take_link_census(store.graph, store.points, on);
      bool rows = census.begin.size() == slots + 1, back = true;
      std::vector<std::vector<uint32_t>> naming(slots);
      for (uint32_t slot = 0; slot < slots; ++slot) {
        for (uint32_t n : lists[slot]) {
          if (n < slots) naming[n].push_back(slot);
        }
      }
      for (uint32_t t = 0; rows && t < slots; ++t) {
        const std::vector<uint32_t> row(census.naming.begin() + census.begin[t],
                                        census.naming.begin() + census.begin[t + 1]);
        rows &= row == naming[t];
        for (size_t j = 0; rows && j < row.size(); ++j) {
          rows &= bool(census.one_way[census.begin[t] + j]) == (row[j] != t && !names(t, row[j]));
        }
        if (lists[t].size() > NAMED_BACK_BITS) continue;
        uint64_t bits = 0;
        for (size_t i = 0; i < lists[t].size(); ++i) {
          const uint32_t n = lists[t][i];
          if (n < slots && names(n, t)) bits |= uint64_t{1} << i;
        }
        back &= census.named_back[t] == bits;
      }
      CHECK(rows);
      CHECK(back);
    }
  }
}

void test_one_way_links_match_sets() {
  std::mt19937_64 rng(13);
  OneWayLinks links;
  std::vector<std::vector<uint32_t>> model(40);
  for (int step = 0; step < 200000; ++step) {
    uint32_t target = rng() % model.size();
    uint32_t source = rng() % (target < 4 ? 4 * OneWayLinks::CROWDED : 25);
    std::vector<uint32_t>& set = model[target];
    auto at = std::find(set.begin(), set.end(), source);
    switch (rng() % 9) {
      case 8:
        clear_one_way(links, target);
        set.clear();
        break;
      case 0: case 1: case 2: case 3:
        remove_one_way(links, target, source);
        if (at != set.end()) set.erase(at);
        break;
      default:
        add_one_way(links, target, source);
        if (at == set.end()) set.push_back(source);
    }
    if (step % 97 == 0) {
      for (uint32_t t = 0; t < model.size(); ++t) {
        std::vector<uint32_t> got;
        for_each_one_way(links, t, [&](uint32_t s) { got.push_back(s); });
        std::vector<uint32_t> want = model[t];
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        CHECK(got == want);
      }
    }
  }
  // Every block is in use or free: none is lost.
  size_t used = 0, free_blocks = 0;
  for (uint32_t t = 0; t < model.size(); ++t) {
    for (uint32_t b = t < links.first.size() ? links.first[t] : OneWayLinks::NONE;
         b != OneWayLinks::NONE; b = links.blocks[b].next) {
      ++used;
    }
  }
  for (uint32_t b = links.free_blocks; b != OneWayLinks::NONE; b = links.blocks[b].next) ++free_blocks;
  CHECK(used + free_blocks == links.blocks.size());
}

}  // namespace

// Parts shrink toward the end of a job: every index still runs exactly once,
// each part within [smallest, largest] but for the last, and no part is
// claimed after the job ends; a long job ends in small parts. Over counts around the part sizes and pools of
// one to five workers.
void test_parallel_parts_cover_each_index_once() {
  for (size_t workers : {1, 2, 3, 5}) {
    WorkerPool pool(workers);
    for (size_t count : {1, 2, 7, 8, 9, 63, 64, 65, 1000, 4096, 4097}) {
      std::vector<std::atomic<uint32_t>> runs(count);
      std::mutex parts_mutex;
      std::vector<std::pair<size_t, size_t>> parts;
      auto body = [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) runs[i].fetch_add(1);
        std::lock_guard lock(parts_mutex);
        parts.emplace_back(begin, end);
      };
      run_parallel(pool, count, body);
      bool each_once = true;
      for (auto& r : runs) each_once &= r.load() == 1;
      CHECK(each_once);
      if (pool.workers.empty()) continue;  // the system started no thread: one part
      const size_t wanted = pool.workers.size() * 4;
      const size_t largest = std::max<size_t>(1, (count + wanted - 1) / wanted);
      const size_t smallest = std::max<size_t>(1, largest / 8);
      std::sort(parts.begin(), parts.end());
      bool sizes_fit = true, contiguous = parts.empty() || parts.front().first == 0;
      for (size_t p = 0; p < parts.size(); ++p) {
        const size_t size = parts[p].second - parts[p].first;
        const bool last = parts[p].second == count;
        sizes_fit &= size >= 1 && size <= largest && (last || size >= smallest);
        if (p > 0) contiguous &= parts[p].first == parts[p - 1].second;
      }
      CHECK(sizes_fit && contiguous && !parts.empty() && parts.back().second == count);
      // A long job ends in parts well below the first ones.
      if (count >= 64 * workers) CHECK(parts.back().second - parts.back().first <= largest / 2);
    }
  }
}

// Rounds that upsert the same ids again, moved, in batches on the workers and
// one by one, keep the graph whole and leave the link change log no bigger
// than single changes need: it does not keep the room its largest batch took.
void test_update_rounds_keep_no_change_log() {
  const size_t dim = 16, count = 6000;
  Store store;
  std::mt19937_64 rng(7);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  std::vector<uint64_t> ids(count);
  for (size_t i = 0; i < count; ++i) ids[i] = i;
  for (size_t round = 0; round < 4; ++round) {
    std::vector<std::vector<float>> rows(count, std::vector<float>(dim));
    for (auto& row : rows) for (float& x : row) x = gauss(rng);
    if (round == 2) {
      for (size_t i = 0; i < count; ++i) CHECK(upsert(store, ids[i], rows[i], nullptr).ok());
    } else {
      std::vector<std::span<const float>> spans(rows.begin(), rows.end());
      std::vector<std::unique_ptr<Payload>> payloads(count);
      CHECK(upsert_batch(store, ids, spans, payloads).ok());
    }
    size_t room = 0;
    for (const auto& stripe : store.graph.link_changes->stripes) {
      CHECK(stripe.changes.empty());
      room += stripe.changes.capacity();
    }
    CHECK(room <= LinkChangeLog::STRIPES * LinkChangeLog::KEPT_CHANGES);
    CHECK(store.graph.node_count == count);
    CHECK(check_link_bookkeeping(store.graph, store.points).empty());
  }
}

int main() {
  test_link_census_matches_the_lists();
  test_update_rounds_keep_no_change_log();
  test_parallel_parts_cover_each_index_once();
  test_load_leaves_no_node_outside_that_it_can_take_in();
  test_one_way_links_match_sets();
  test_copies_cost_what_distinct_points_cost();
  test_tenant_beam_passes_through_other_tenants();
  test_level_draw();
  test_first_and_second_point();
  test_build_invariants_and_reachability();
  return tarnwick_test::finish_checks();
}
