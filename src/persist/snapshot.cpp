#include "persist/snapshot.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <bit>
#include <exception>
#include <optional>
#include <cstdlib>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "index/metrics.h"
#include "index/spanning_tree.h"
#include "storage/store.h"
#include "persist/payload_coding.h"
#include "table/payload.h"
#include "util/prefetch.h"
#include "util/task_thread.h"
#include "util/worker_pool.h"

namespace tarnwick {

namespace {

// Slots per range of the encoder's parallel passes.
constexpr size_t ENCODE_RANGE_SLOTS = 8192;

// Slots per batch whose norms and codes a decoder hands out while it goes on.
constexpr size_t NORM_BATCH_SLOTS = 4096;

// Counts read from a file pre-size a container to at most this many bytes of
// its elements; beyond that it grows as elements actually arrive.
constexpr size_t PRESIZE_LIMIT_BYTES = size_t{1} << 20;

// The fewest bytes one entry can take in a file, so a count above
// bytes_left / minimum cannot be genuine and never pre-sizes past the input.
constexpr size_t MIN_POINT_ENTRY_BYTES = 4;    // key, id, empty vector, no payload
constexpr size_t MIN_PAYLOAD_ENTRY_BYTES = 3;  // empty key, variant, one-byte content

template <typename Element>
size_t presize_count(uint64_t count, size_t bytes_left, size_t min_entry_bytes) {
  uint64_t cap = std::min<uint64_t>(PRESIZE_LIMIT_BYTES / sizeof(Element),
                                    bytes_left / min_entry_bytes);
  return static_cast<size_t>(std::min(count, cap));
}

// ---- Encoding ----

size_t point_entry_size(const PointTable& points, uint32_t slot_number) {
  const SlotHeader& header = points.headers[slot_number];
  const Payload* payload = points.records[slot_number].payload.get();
  size_t size = varint_length(slot_key(points, slot_number)) +
                varint_length(record_id(points, slot_number)) + varint_length(header.dim) +
                size_t{header.dim} * sizeof(float) + 1;
  if (payload) {
    size += varint_length(payload->entries.size());
    for (const PayloadEntry& entry : payload->entries) {
      size += varint_length(entry.key.size()) + entry.key.size() + payload_value_size(entry.value);
    }
  }
  return size;
}

// `keys` holds each slot's key in one dense array: a graph names every point many
// times, and reading keys from the slots themselves misses the cache each time.
// The 16 lists of a node; `upper` is its lists above layer 0 (null: none).
template <typename Visit>
void for_each_list(const HnswIndex& graph, uint32_t slot, const UpperLists* upper, Visit visit) {
  visit(layer0_neighbors(graph, slot));
  for (size_t layer = 1; layer < MAX_LAYERS; ++layer) {
    if (upper != nullptr && layer <= upper->size()) {
      visit(std::span<const uint32_t>((*upper)[layer - 1]));
    } else {
      visit(std::span<const uint32_t>());
    }
  }
}

size_t node_entry_size(const SnapshotPlan& plan, const HnswIndex& graph, uint32_t slot) {
  std::span<const uint64_t> keys = plan.keys;
  uint64_t key = keys[slot];
  size_t size = varint_length(key) + varint_length(node_id(graph, slot, key));
  for_each_list(graph, slot, plan.uppers[slot], [&](std::span<const uint32_t> list) {
    size += varint_length(list.size());
    for (uint32_t neighbor : list) size += varint_length(keys[neighbor]);
  });
  return size;
}

// At least node_entry_size, from the lists' lengths alone: each neighbour's
// key is taken to be as long as the longest.
size_t node_entry_bound(const SnapshotPlan& plan, const HnswIndex& graph, uint32_t slot,
                        size_t longest_key) {
  uint64_t key = plan.keys[slot];
  size_t size = varint_length(key) + varint_length(node_id(graph, slot, key));
  for_each_list(graph, slot, plan.uppers[slot], [&](std::span<const uint32_t> list) {
    size += varint_length(list.size()) + list.size() * longest_key;
  });
  return size;
}

void put_point_entry(Writer& out, const PointTable& points, uint32_t slot_number) {
  const Payload* payload = points.records[slot_number].payload.get();
  put_varint(out, slot_key(points, slot_number));
  put_varint(out, record_id(points, slot_number));
  put_varint(out, points.headers[slot_number].dim);
  put_floats(out, point_vector(points, slot_number));
  if (!payload) {
    put_byte(out, 0);
    return;
  }
  put_byte(out, 1);
  put_varint(out, payload->entries.size());
  for (const PayloadEntry& entry : payload->entries) {
    put_text(out, entry.key);
    put_payload_value(out, entry.value);
  }
}

void put_node_entry(Writer& out, const SnapshotPlan& plan, const HnswIndex& graph, uint32_t slot) {
  std::span<const uint64_t> keys = plan.keys;
  uint64_t key = keys[slot];
  put_varint(out, key);
  put_varint(out, node_id(graph, slot, key));
  for_each_list(graph, slot, plan.uppers[slot], [&](std::span<const uint32_t> list) {
    put_varint(out, list.size());
    for (uint32_t neighbor : list) put_varint(out, keys[neighbor]);
  });
}

// ---- Decoding ----

// Reads a present payload's entries into a payload of its own, sized once.
bool get_payload(Reader& in, std::unique_ptr<Payload>& out) {
  uint64_t count;
  if (!get_varint(in, count)) return false;
  out = std::make_unique<Payload>();
  std::vector<PayloadEntry>& entries = out->entries;
  entries.reserve(presize_count<PayloadEntry>(count, in.left(), MIN_PAYLOAD_ENTRY_BYTES));
  for (uint64_t i = 0; i < count; ++i) {
    std::string_view key;
    if (!get_text(in, key)) return false;
    PayloadEntry& entry = entries.emplace_back();
    entry.key.assign(key);
    if (!get_payload_value(in, entry.value)) return false;
  }
  // Files written by save hold each payload's keys once, in ascending order,
  // which is already the payload's own order; only other files need sorting.
  bool ascending = std::adjacent_find(entries.begin(), entries.end(),
                                      [](const PayloadEntry& a, const PayloadEntry& b) {
                                        return a.key >= b.key;
                                      }) == entries.end();
  if (!ascending) *out = make_payload(std::move(entries));
  return true;
}

// Decodes one point entry into the table. `before_repeat` is called before a
// key already in the table is stored again.
template <typename BeforeRepeat>
bool get_point_entry(Reader& in, PointTable& points, std::vector<float>& components,
                     BeforeRepeat before_repeat) {
  uint64_t key, id, dim;
  if (!get_varint(in, key) || !get_varint(in, id) || !get_varint(in, dim)) return false;
  // Components are fixed-width and any bit pattern is valid, so a count the
  // input cannot cover fails here, before anything is allocated for it.
  if (dim > in.left() / sizeof(float)) return in.fail(DecodeError::EndOfInput);
  if (dim > MAX_DIMENSION) return in.fail(DecodeError::VectorTooLong);
  if (!in.ensure(static_cast<size_t>(dim) * sizeof(float))) return in.fail(DecodeError::EndOfInput);
  const void* source = in.next;
  if constexpr (std::endian::native != std::endian::little) {
    components.resize(static_cast<size_t>(dim));
    copy_floats(in, components.data(), components.size());
    source = components.data();
  } else {
    in.next += dim * sizeof(float);  // copied straight from the input below
  }

  bool has_payload;
  if (!get_option_tag(in, has_payload)) return false;
  std::unique_ptr<Payload> payload;
  if (has_payload && !get_payload(in, payload)) return false;
  // A repeated key replaces the earlier record whole: the later entry wins.
  // Norms and tenant lists are made once the last point is in: a key repeated
  // with changing tenants would otherwise move between member lists each time.
  before_repeat(key);
  put_point_raw(points, key, id, source, static_cast<size_t>(dim), std::move(payload));
  return true;
}

// The vectors of a run of slots whose norms and codes are still to be made:
// where each lies (vectors never move) and how long it is. Made by the
// decoder, which may add slots and so move the table's own per-slot arrays.
struct NormWork {
  uint32_t first_slot = 0;
  std::vector<const float*> data;  // null: no record
  std::vector<uint32_t> dims;
  uint32_t row_dim = 0;
  std::vector<float> norms;  // the results
  // The codes of the rows' vectors are made beside the norms: each goes to its
  // place in the code chunks (which never move), its meta to `code_meta`
  // until install_norms writes it where the table keeps metas.
  std::vector<uint8_t*> code_places;  // null: no code to make
  std::vector<CodeMeta> code_meta;
};

// Adds a slot to a run (the next after its last).
void plan_norm(NormWork& work, PointTable& points, uint32_t slot) {
  const bool recorded = has_record(points, slot);
  work.data.push_back(recorded ? vector_data(points, slot) : nullptr);
  work.dims.push_back(recorded ? points.headers[slot].dim : 0);
  work.code_places.push_back(recorded && in_rows(points, slot) ? code_place(points, slot) : nullptr);
}

NormWork plan_norms(PointTable& points, uint32_t first_slot) {
  NormWork work;
  work.first_slot = first_slot;
  work.row_dim = points.rows.dim;
  const uint32_t slots = static_cast<uint32_t>(slot_count(points));
  for (uint32_t slot = first_slot; slot < slots; ++slot) plan_norm(work, points, slot);
  return work;
}

// Computes every planned norm and code; touches nothing but `work` and the
// vectors.
void compute_norms(NormWork& work) {
  const uint32_t count = static_cast<uint32_t>(work.data.size());
  work.norms.assign(count, 0.0f);
  work.code_meta.assign(count, CodeMeta{});
  constexpr uint32_t BLOCK = 64;
  const float* rows[BLOCK];
  float norms[BLOCK];
  uint32_t which[BLOCK];
  for (uint32_t begin = 0; begin < count; begin += BLOCK) {
    const uint32_t end = std::min(count, begin + BLOCK);
    // Vectors of the rows' length go together; others one at a time.
    size_t filled = 0;
    for (uint32_t k = begin; k < end; ++k) {
      if (work.data[k] == nullptr && work.dims[k] == 0) continue;
      if (work.dims[k] == work.row_dim) {
        rows[filled] = work.data[k];
        which[filled++] = k;
      } else {
        work.norms[k] = vector_norm({work.data[k], work.dims[k]});
      }
    }
    vector_norms(rows, filled, work.row_dim, norms);
    for (size_t f = 0; f < filled; ++f) work.norms[which[f]] = norms[f];
    for (size_t f = 0; f < filled; ++f) {
      const uint32_t k = which[f];
      if (work.code_places[k] == nullptr) continue;
      encode_point_code(work.data[k], work.row_dim, work.code_places[k], work.code_meta[k]);
      work.code_meta[k].norm = work.norms[k];
    }
  }
}

void install_norms(PointTable& points, const NormWork& work) {
  std::copy(work.norms.begin(), work.norms.end(), points.norms.begin() + work.first_slot);
  if (!points.codes.meta_in_padding) {
    std::copy(work.code_meta.begin(), work.code_meta.end(),
              points.codes.meta.begin() + work.first_slot);
    return;
  }
  // Each meta after its code, whose padding encoding zeroed.
  for (size_t k = 0; k < work.code_places.size(); ++k) {
    if (work.code_places[k] != nullptr) {
      set_code_meta(points.codes, work.first_slot + static_cast<uint32_t>(k), work.code_meta[k]);
    }
  }
}

// Finds (or makes) the slot of an id the graph names. The usual ids, a dense
// range such as 0..N-1, resolve through a plain array: a graph names each point
// many times, and a hash probe for each costs a cache miss or two.
class SlotResolver {
 public:
  explicit SlotResolver(PointTable& points) : points_(points) {
    uint64_t largest = 0;
    const size_t slots = slot_count(points);
    for (uint32_t slot = 0; slot < slots; ++slot) largest = std::max(largest, slot_key(points, slot));
    if (slots == 0 || largest >= 4 * slots + 1024) return;
    dense_.assign(static_cast<size_t>(largest) + 1, NO_SLOT);
    for (uint32_t slot = 0; slot < slots; ++slot) dense_[slot_key(points, slot)] = slot;
  }

  uint32_t operator()(uint64_t id) {
    if (id >= dense_.size()) return slot_for_key(points_, id);
    uint32_t& slot = dense_[id];
    if (slot == NO_SLOT) slot = slot_for_key(points_, id);
    return slot;
  }

 private:
  PointTable& points_;
  std::vector<uint32_t> dense_;  // dense_[id] is the slot of id, or NO_SLOT
};

bool get_neighbor_list(Reader& in, SlotResolver& slot_of, std::vector<uint32_t>& list) {
  uint64_t count;
  if (!get_varint(in, count)) return false;
  // Every id takes at least one byte; a longer claim gets no pre-sizing and
  // fails once the input runs out (or at a malformed id before that).
  if (count <= in.left()) {
    list.reserve(static_cast<size_t>(
        std::min<uint64_t>(count, PRESIZE_LIMIT_BYTES / sizeof(uint32_t))));
  }
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t id;
    if (!get_varint(in, id)) return false;
    list.push_back(slot_of(id));
  }
  return true;
}

// `lists` is scratch reused from node to node.
bool get_node_entry(Reader& in, SlotResolver& slot_of, HnswIndex& graph, NeighborLists& lists) {
  uint64_t key, id;
  if (!get_varint(in, key) || !get_varint(in, id)) return false;
  uint32_t slot = slot_of(key);
  for (std::vector<uint32_t>& list : lists) {
    list.clear();
    if (!get_neighbor_list(in, slot_of, list)) return false;
  }
  // A file stores no levels: a node reaches its highest non-empty layer.
  install_node(graph, slot, id, key, lists, 0);
  return true;
}

bool get_graph(Reader& in, PointTable& points, HnswIndex& graph) {
  bool has_entry_point;
  if (!get_varint(in, graph.m) || !get_varint(in, graph.ef_construction) ||
      !get_varint(in, graph.ef_search) || !get_option_tag(in, has_entry_point)) {
    return false;
  }
  if (has_entry_point) {
    uint64_t entry_point;
    if (!get_varint(in, entry_point)) return false;
    graph.entry_point = entry_point;
  }
  uint64_t node_count;
  if (!get_varint(in, graph.max_level) || !get_varint(in, node_count)) return false;
  SlotResolver slot_of(points);
  NeighborLists lists;
  for (uint64_t i = 0; i < node_count; ++i) {
    if (!get_node_entry(in, slot_of, graph, lists)) return false;
  }
  return true;
}

}  // namespace

SnapshotPlan plan_snapshot(const PointTable& points, const HnswIndex& graph, PieceSizes sizes) {
  SnapshotPlan plan;
  plan.exact = sizes == PieceSizes::Exact;
  plan.points = &points;
  plan.graph = &graph;
  const uint32_t slots = static_cast<uint32_t>(slot_count(points));
  const size_t ranges = std::clamp<size_t>(slots / ENCODE_RANGE_SLOTS, 1, 256);
  plan.range_begin.resize(ranges + 1);
  for (size_t r = 0; r <= ranges; ++r) {
    plan.range_begin[r] = static_cast<uint32_t>(uint64_t{slots} * r / ranges);
  }
  plan.keys.resize(slots);
  plan.point_bytes.assign(ranges, 0);
  plan.node_bytes.assign(ranges, 0);
  std::vector<size_t> records(ranges, 0), nodes(ranges, 0);
  std::shared_ptr<WorkerPool> pool = ranges > 1 ? process_worker_pool() : nullptr;
  auto in_parallel = [&](auto& body) {
    if (pool) {
      run_parallel(*pool, ranges, body);
    } else {
      body(0, ranges);
    }
  };
  auto gather_keys = [&](size_t first, size_t last) {
    for (uint32_t slot = plan.range_begin[first]; slot < plan.range_begin[last]; ++slot) {
      plan.keys[slot] = slot_key(points, slot);
    }
  };
  in_parallel(gather_keys);
  uint64_t largest_key = 0;
  if (!plan.exact) {
    for (uint64_t key : plan.keys) largest_key = std::max(largest_key, key);
  }
  const size_t longest_key = varint_length(largest_key);
  // The few nodes above layer 0 are found once here, not by a lookup per node
  // in each of the two passes below.
  plan.uppers.assign(slots, nullptr);
  for (const auto& [slot, lists] : graph.upper_layers) {
    if (slot < slots) plan.uppers[slot] = &lists;
  }
  auto measure = [&](size_t first, size_t last) {
    for (size_t r = first; r < last; ++r) {
      for (uint32_t slot = plan.range_begin[r]; slot < plan.range_begin[r + 1]; ++slot) {
        if (has_record(points, slot)) {
          ++records[r];
          plan.point_bytes[r] += point_entry_size(points, slot);
        }
        if (has_node(graph, slot)) {
          ++nodes[r];
          plan.node_bytes[r] += plan.exact ? node_entry_size(plan, graph, slot)
                                           : node_entry_bound(plan, graph, slot, longest_key);
        }
      }
    }
  };
  in_parallel(measure);
  for (size_t r = 0; r < ranges; ++r) {
    plan.record_count += records[r];
    plan.node_count += nodes[r];
  }
  plan.head_bytes = varint_length(plan.record_count);
  plan.middle_bytes = varint_length(graph.m) + varint_length(graph.ef_construction) +
                      varint_length(graph.ef_search) + 1 +
                      (graph.entry_point ? varint_length(*graph.entry_point) : 0) +
                      varint_length(graph.max_level) + varint_length(plan.node_count);
  plan.total_bytes = plan.head_bytes + plan.middle_bytes;
  for (size_t r = 0; r < ranges; ++r) plan.total_bytes += plan.point_bytes[r] + plan.node_bytes[r];
  return plan;
}

size_t snapshot_pieces(const SnapshotPlan& plan) { return 2 * plan.point_bytes.size() + 1; }

size_t piece_bytes(const SnapshotPlan& plan, size_t piece) {
  const size_t ranges = plan.point_bytes.size();
  if (piece < ranges) return (piece == 0 ? plan.head_bytes : 0) + plan.point_bytes[piece];
  if (piece == ranges) return plan.middle_bytes;
  return plan.node_bytes[piece - ranges - 1];
}

size_t encode_piece(const SnapshotPlan& plan, size_t piece, char* out) {
  const PointTable& points = *plan.points;
  const HnswIndex& graph = *plan.graph;
  const size_t ranges = plan.point_bytes.size();
  Writer writer{out};
  if (piece < ranges) {
    if (piece == 0) put_varint(writer, plan.record_count);
    for (uint32_t slot = plan.range_begin[piece]; slot < plan.range_begin[piece + 1]; ++slot) {
      if (has_record(points, slot)) put_point_entry(writer, points, slot);
    }
  } else if (piece == ranges) {
    put_varint(writer, graph.m);
    put_varint(writer, graph.ef_construction);
    put_varint(writer, graph.ef_search);
    if (graph.entry_point) {
      put_byte(writer, 1);
      put_varint(writer, *graph.entry_point);
    } else {
      put_byte(writer, 0);
    }
    put_varint(writer, graph.max_level);
    put_varint(writer, plan.node_count);
  } else {
    const size_t r = piece - ranges - 1;
    // The keys a node's layer-0 list names lie all over the key array: they
    // are requested two nodes ahead.
    constexpr uint32_t AHEAD = 2;
    const uint32_t end = plan.range_begin[r + 1];
    for (uint32_t slot = plan.range_begin[r]; slot < end; ++slot) {
      if (slot + AHEAD < end) {
        for (uint32_t n : layer0_neighbors(graph, slot + AHEAD)) {
          if (n < plan.keys.size()) prefetch_line(plan.keys.data() + n);
        }
      }
      if (has_node(graph, slot)) put_node_entry(writer, plan, graph, slot);
    }
  }
  // Sizing and writing walk the same state; a mismatch is an internal fault.
  const size_t written = static_cast<size_t>(writer.next - out);
  if (plan.exact ? written != piece_bytes(plan, piece) : written > piece_bytes(plan, piece)) std::abort();
  return written;
}

ByteBuffer encode_snapshot(const PointTable& points, const HnswIndex& graph) {
  return encode_planned(plan_snapshot(points, graph));
}

ByteBuffer encode_planned(const SnapshotPlan& plan) {
  if (!plan.exact) std::abort();  // the pieces must lie where the sizes say
  ByteBuffer buffer(plan.total_bytes);
  const size_t pieces = snapshot_pieces(plan);
  std::vector<size_t> offsets(pieces + 1, 0);
  for (size_t piece = 0; piece < pieces; ++piece) {
    offsets[piece + 1] = offsets[piece] + piece_bytes(plan, piece);
  }
  auto write = [&](size_t first, size_t last) {
    for (size_t piece = first; piece < last; ++piece) {
      encode_piece(plan, piece, buffer.data() + offsets[piece]);
    }
  };
  if (pieces > 3) {
    run_parallel(*process_worker_pool(), pieces, write);
  } else {
    write(0, pieces);
  }
  buffer.set_size(plan.total_bytes);
  return buffer;
}

Status decode_snapshot(std::string_view input, SnapshotState& out) {
  return decode_snapshot(input, nullptr, out);
}

Status decode_snapshot(std::string_view input, ArrivingInput* arriving, SnapshotState& out) {
  Reader in(input);
  if (arriving != nullptr) {
    in.arriving = arriving;
    in.arrived = in.next;
  }
  auto failed = [&in] { return Status::Corruption(decode_error_message(in.error)); };
  uint64_t point_count;
  if (!get_varint(in, point_count)) return failed();
  reserve_points(out.points, presize_count<SlotRecord>(point_count, in.left(), MIN_POINT_ENTRY_BYTES));
  // The norms, codes, tenant lists and payload index of a large table are
  // made on a thread beside the decoder: the norms and codes a batch of slots
  // at a time while the points arrive, the rest once the last one is in,
  // while the graph is decoded (it reads none of them); all are installed
  // once the graph is in. Declared before the thread, which runs what it was
  // handed before it goes.
  std::deque<NormWork> norm_batches;
  NormWork rest;
  TenantRebuild tenant_work;
  std::optional<TaskThread> beside;
  if (point_count >= NORM_BATCH_SLOTS) beside.emplace();
  // Batches are handed out while no key repeats: a repeated key's vector is
  // written again in place, perhaps while the thread reads it. At the first
  // one, the batches handed out are waited for and dropped, and every norm is
  // made after the last point, as for a small table.
  bool batching = beside.has_value();
  NormWork batch;
  auto hand_out_batch = [&] {
    batch.row_dim = out.points.rows.dim;
    NormWork& handed = norm_batches.emplace_back(std::move(batch));
    beside->post([&handed] { compute_norms(handed); });
    batch = NormWork();
    batch.first_slot = static_cast<uint32_t>(slot_count(out.points));
  };
  // A key above every key before it cannot repeat one (files list points in
  // slot order, which for ids inserted in ascending order is theirs): only
  // the others are looked up.
  uint64_t largest_key = 0;
  bool any_key = false;
  auto before_repeat = [&](uint64_t key) {
    const bool above = !any_key || key > largest_key;
    any_key = true;
    largest_key = std::max(largest_key, key);
    if (!batching || above || find_slot(out.points, key) == NO_SLOT) return;
    beside->drain();
    norm_batches.clear();
    batch = NormWork();
    batching = false;
  };
  std::vector<float> components;
  for (uint64_t i = 0; i < point_count; ++i) {
    if (!get_point_entry(in, out.points, components, before_repeat)) return failed();
    if (!batching) continue;
    plan_norm(batch, out.points, static_cast<uint32_t>(slot_count(out.points) - 1));
    if (batch.data.size() == NORM_BATCH_SLOTS) hand_out_batch();
  }
  if (batching && !batch.data.empty()) hand_out_batch();
  rest = plan_norms(out.points, batching ? static_cast<uint32_t>(slot_count(out.points)) : 0);
  tenant_work = plan_tenant_rebuild(out.points);
  auto rest_work = [&rest, &tenant_work] {
    compute_norms(rest);
    make_tenant_lists(tenant_work);
  };
  if (beside) {
    beside->post(rest_work);
  } else {
    rest_work();
  }
  bool graph_read = get_graph(in, out.points, out.graph);
  // The link bookkeeping is made meanwhile too, so that the first change
  // after a load finds it in place.
  if (graph_read) make_link_bookkeeping(out.graph, out.points, beside ? &*beside : nullptr);
  if (beside) beside->drain();
  if (!graph_read) return failed();
  for (const NormWork& handed : norm_batches) install_norms(out.points, handed);
  install_norms(out.points, rest);
  install_tenant_lists(out.points, tenant_work);
  // The file lists points in slot order and the rows took the first one's
  // length; a store that wrote it may have moved them to a more common one.
  settle_row_length(out.points);
  return Status::Ok();
}

}  // namespace tarnwick
