#include "storage/store.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <new>
#include <string>

#include <unistd.h>

#include "index/graph_delete.h"
#include "index/graph_insert.h"
#include "index/spanning_tree.h"
#include "util/worker_pool.h"

namespace tarnwick {

namespace {

// InvalidArgument for a vector longer than a point can hold, else Ok.
Status check_dimension(std::span<const float> vector) {
  if (vector.size() <= MAX_DIMENSION) return Status::Ok();
  return Status::InvalidArgument("vector of " + std::to_string(vector.size()) +
                                 " components is longer than a point can hold (" +
                                 std::to_string(MAX_DIMENSION) + ")");
}

// Records `change` in the store's log when one is open in this process, and
// counts it; a follower takes changes from its log alone.
Status record(const ChangesHeld& held, const Change& change, ChangeSource source) {
  if (source == ChangeSource::Caller) {
    if (Status refused = check_not_following(held, "changes are"); !refused.ok()) return refused;
  }
  ++held.store.changes_made;
  ChangeLog* log = current_log(held);
  return log != nullptr ? log->append(change) : Status::Ok();
}

// While it lives, records the list changes of the graph when the store logs
// its changes, for the log's record of what the change did to the graph.
class ListCaptureScope {
 public:
  // `placed`: the nodes the change places, ascending; it must outlive the scope.
  ListCaptureScope(const ChangesHeld& held, HnswIndex& graph, std::span<const uint32_t> placed) : graph_(graph) {
    if (current_log(held) == nullptr) return;
    std::unique_ptr<ListCapture>& kept = held.store.list_capture;
    if (!kept) kept = std::make_unique<ListCapture>();
    capture_ = kept.get();
    clear_list_capture(*capture_);
    capture_->placed = placed;
    graph_.capture = capture_;
  }
  // Writes the graph only while its capture is still set: after take() the
  // caller may have let the store's locks go, and a load may be replacing the graph.
  ~ListCaptureScope() {
    if (capture_ && !taken_) {
      graph_.capture = nullptr;
      capture_->placed = {};
    }
  }
  ListCaptureScope(const ListCaptureScope&) = delete;
  ListCaptureScope& operator=(const ListCaptureScope&) = delete;

  // The delta of the change so far; nothing without a capture.
  std::optional<GraphDelta> take(const PointTable& points, std::span<const uint32_t> placed) {
    if (!capture_ || taken_) return std::nullopt;
    graph_.capture = nullptr;
    taken_ = true;
    std::optional<GraphDelta> delta = take_graph_delta(graph_, points, *capture_, placed);
    capture_->placed = {};
    return delta;
  }

 private:
  HnswIndex& graph_;
  ListCapture* capture_ = nullptr;  // the store's, kept from change to change
  bool taken_ = false;
};

// Appends the record of what the change did to the graph, with the content's
// locks released: searches need not wait for the log.
void append_links(const ChangesHeld& held, std::optional<GraphDelta>& delta) {
  if (!delta) return;
  if (ChangeLog* log = current_log(held)) log->append_links(&*delta);
}

}  // namespace

ChangeLog::ChangeLog() : owner_process(::getpid()) {}

Status check_not_following(const ChangesHeld& held, std::string_view what) {
  if (held.store.followed_log.empty()) return Status::Ok();
  return Status::InvalidArgument(std::string(FOLLOWER_REFUSES) + held.store.followed_log + ": " +
                                 std::string(what) + " refused until stop_following()");
}

ChangesHeld hold_changes(Store& store) { return ChangesHeld{std::unique_lock(store.changes), store}; }

uint64_t changes_taken(Store& store) {
  // Taken while no change is between its record and its effect: every change
  // counted is one whose effect is visible.
  const ChangesHeld held = hold_changes(store);
  return store.changes_made;
}

ChangeLog* current_log(const ChangesHeld& held) {
  ChangeLog* log = held.store.log.get();
  return log != nullptr && log->owner_process == ::getpid() ? log : nullptr;
}

std::unique_ptr<ChangeLog> exchange_log(ChangesHeld& held, std::unique_ptr<ChangeLog> log) {
  std::swap(held.store.log, log);
  return log;
}

void move_content(Store& from, Store& into) {
  replace_content(into, std::move(from.points), std::move(from.graph));
  from.points = PointTable();
  from.graph = HnswIndex();
}

ReadView read_view(const Store& store) {
  // Braced initialisers run in order: segment, then index.
  return ReadView{std::shared_lock(store.segment), std::shared_lock(store.index), store.points,
                  store.graph};
}

WriteView write_view(Store& store) {
  return WriteView{std::unique_lock(store.segment), std::unique_lock(store.index), store.points,
                   store.graph};
}

void replace_content(Store& store, PointTable points, HnswIndex graph) {
  {
    WriteView view = write_view(store);
    std::swap(view.points, points);
    std::swap(view.graph, graph);
  }
  // `points` and `graph` now hold the old content, dropped here, outside the locks.
}

Status upsert(Store& store, uint64_t point_id, std::span<const float> vector,
              std::unique_ptr<Payload> payload, ChangeSource source) {
  if (Status checked = check_dimension(vector); !checked.ok()) return checked;
  const ChangesHeld held = hold_changes(store);
  const Change change{ChangeKind::Upsert, std::span(&point_id, 1), std::span(&vector, 1),
                      std::span<const std::unique_ptr<Payload>>(&payload, 1)};
  if (Status logged = record(held, change, source); !logged.ok()) return logged;
  std::unique_lock segment_lock(store.segment);
  // (The graph is read under the segment lock alone: only a holder of both
  // changes it.)
  const bool stands = node_stands_for(store.graph, store.points, find_slot(store.points, point_id), vector);
  uint32_t slot = put_point_by_id(store.points, point_id, vector, vector_norm(vector), std::move(payload));
  settle_row_length(store.points);
  std::unique_lock index_lock(store.index);
  std::optional<GraphDelta> delta;
  {
    // A standing node is linked to nothing: followers are told so by lists
    // that change nothing.
    const std::span<const uint32_t> linked = stands ? std::span<const uint32_t>() : std::span(&slot, 1);
    ListCaptureScope capture(held, store.graph, linked);
    if (!stands) insert_node(store.graph, store.points, slot, point_id, draw_level(store.graph.m));
    delta = capture.take(store.points, linked);
  }
  index_lock.unlock();
  segment_lock.unlock();
  append_links(held, delta);
  return Status::Ok();
}

void make_room_for_points(Store& store, std::span<const uint64_t> point_ids) {
  size_t count = 0, slots = 0;
  {
    // Counted under the shared lock, so that searches go on meanwhile; what
    // changes before the room is made only makes the hint less exact.
    std::shared_lock counting(store.segment);
    slots = slot_count(store.points);
    if (point_ids.size() < slots) return;
    for (uint64_t id : point_ids) count += find_slot(store.points, id) == NO_SLOT;
    if (count < slots || count == 0) return;
  }
  std::unique_lock segment_lock(store.segment);
  std::unique_lock index_lock(store.index);
  slots = slot_count(store.points);
  try {
    reserve_points(store.points, count);
    HnswIndex& graph = store.graph;
    if (!graph.tree_parent.empty()) {
      graph.tree_parent.reserve(slots + count);
      graph.tree_rank.reserve(slots + count);
    }
  } catch (const std::bad_alloc&) {
  }
}

Status upsert_batch(Store& store, std::span<const uint64_t> point_ids,
                    std::span<const std::span<const float>> vectors,
                    std::span<std::unique_ptr<Payload>> payloads, ChangeSource source,
                    Linking linking, const GraphDelta* links, bool* installed) {
  if (installed != nullptr) *installed = false;
  const size_t count = point_ids.size();
  for (std::span<const float> vector : vectors) {
    if (Status checked = check_dimension(vector); !checked.ok()) return checked;
  }
  std::vector<float> norms(count);
  for (size_t i = 0; i < count; ++i) norms[i] = vector_norm(vectors[i]);
  // No pool is built for a caller that links alone: its threads would inherit
  // that caller's priority.
  std::shared_ptr<WorkerPool> pool = linking == Linking::Workers ? process_worker_pool() : nullptr;

  const ChangesHeld held = hold_changes(store);
  const Change change{ChangeKind::UpsertBatch, point_ids, vectors, payloads};
  if (Status logged = record(held, change, source); !logged.ok()) return logged;
  std::unique_lock segment_lock(store.segment);
  std::unique_lock index_lock(store.index);
  PointTable& points = store.points;
  HnswIndex& graph = store.graph;
  // Records first, in order, so that a later entry for an id replaces an
  // earlier one exactly as successive upserts would. A point stored again
  // with the vector it has keeps its node; the others are linked.
  std::vector<uint32_t> slots;
  slots.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const bool stands = node_stands_for(graph, points, find_slot(points, point_ids[i]), vectors[i]);
    const uint32_t slot = put_point_by_id(points, point_ids[i], vectors[i], norms[i], std::move(payloads[i]));
    if (!stands) slots.push_back(slot);
  }
  // Before linking, so that the batch is linked with the codes of its points.
  settle_row_length(points);
  // Each stored point is linked once, with its final vector.
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
  if (links != nullptr) {
    ResolvedDelta resolved;
    if (resolve_graph_delta(graph, points, *links, slots, {}, resolved)) {
      install_graph_delta(graph, resolved);
      if (installed != nullptr) *installed = true;
      return Status::Ok();
    }
  }
  ListCaptureScope capture(held, graph, slots);
  std::vector<uint8_t> levels(slots.size());
  for (size_t i = 0; i < slots.size(); ++i) {
    levels[i] = static_cast<uint8_t>(
        place_node(graph, points, slots[i], slot_key(points, slots[i]), draw_level(graph.m)));
  }
  // Linking runs on the workers while this thread holds both locks for them:
  // nothing else reads or changes the store meanwhile, and the workers guard
  // the lists among themselves.
  auto link = [&](size_t begin, size_t end, NodeLocks* locks) {
    for (size_t i = begin; i < end; ++i) {
      link_node(graph, points, slots[i], slot_key(points, slots[i]), levels[i], locks);
    }
  };
  if (slots.size() < 2 * PARALLEL_LINK_MIN || !pool || pool->workers.size() < 2 ||
      !links_fit_tree_edges(graph)) {
    link(0, slots.size(), nullptr);
  } else {
    // The first points of an empty graph are linked here, so that the workers
    // start from a graph with some shape.
    size_t first = graph.node_count - slots.size() < PARALLEL_LINK_MIN ? PARALLEL_LINK_MIN : 0;
    link(0, first, nullptr);
    auto locks = std::make_unique<NodeLocks>();
    reserve_link_changes(graph, slots.size() - first);
    auto part = [&](size_t begin, size_t end) { link(first + begin, first + end, locks.get()); };
    run_parallel(*pool, slots.size() - first, part);
    attach_unattached(graph, points, *locks);
  }
  settle_link_changes(graph);
  for (size_t i = 0; i < slots.size(); ++i) settle_node(graph, slots[i], levels[i]);
  if (!graph.layer0_overflow.empty()) drop_stale_overflow(graph);
  std::optional<GraphDelta> delta = capture.take(points, slots);
  index_lock.unlock();
  segment_lock.unlock();
  append_links(held, delta);
  return Status::Ok();
}

namespace {

// Removes every trace of these slots from the graph (their records may still be
// in the table; they are never chosen): the lists naming them are found and
// chosen again on the worker pool, then the nodes go.
// The lists that name a leaving slot, none of them a leaving node's own. At
// layer 0 the one-way links tell them exactly. Above it, a few leaving nodes
// find them around themselves, as their in-link counts tell; many, or a
// graph whose counts miss some links, take a scan of the upper lists.
std::vector<ListRef> lists_naming(const HnswIndex& graph, const PointTable& points,
                                  const LeavingSlots& leaving) {
  std::vector<ListRef> lists;
  for (uint32_t slot : leaving.slots) find_layer0_lists_naming(graph, slot, lists);
  bool scan_upper = true;
  if (!graph.uncounted_links && leaving.slots.size() * NEARBY_SEARCH_RATIO <= graph.node_count) {
    scan_upper = false;
    for (uint32_t slot : leaving.slots) {
      for (size_t layer = 1; layer < MAX_LAYERS && !scan_upper; ++layer) {
        scan_upper = !find_lists_naming_nearby(graph, points, slot, layer, lists);
      }
    }
    if (scan_upper) {
      std::erase_if(lists, [](const ListRef& list) { return list.layer != 0; });
    }
  }
  if (scan_upper) find_upper_lists_naming(graph, leaving, lists);
  std::erase_if(lists, [&](const ListRef& list) { return leaving.contains(list.owner); });
  // A list naming several leaving nodes is chosen again once.
  std::sort(lists.begin(), lists.end(), [](const ListRef& a, const ListRef& b) {
    return a.owner != b.owner ? a.owner < b.owner : a.layer < b.layer;
  });
  lists.erase(std::unique(lists.begin(), lists.end(),
                          [](const ListRef& a, const ListRef& b) {
                            return a.owner == b.owner && a.layer == b.layer;
                          }),
              lists.end());
  return lists;
}

// Removes every trace of these slots from the graph (their records may still be
// in the table; they are never chosen): the lists naming them are chosen
// again, on the worker pool when there are many, then the nodes go and the
// spanning tree takes their children in again.
void unlink_slots(HnswIndex& graph, const PointTable& points, std::span<const uint32_t> slots) {
  if (slots.empty() || graph.node_count == 0) return;
  prepare_link_bookkeeping(graph, points);
  const LeavingSlots leaving = mark_leaving(points, slots);
  std::shared_ptr<WorkerPool> pool = process_worker_pool();
  const std::vector<uint32_t> orphans = orphans_of(graph, leaving);
  const std::vector<ListRef> lists = lists_naming(graph, points, leaving);
  const bool parallel = lists.size() >= 64 && links_fit_tree_edges(graph);
  auto repair = [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) rechoose_list(graph, points, leaving, lists[i], parallel);
  };
  if (parallel) {
    // Room for the workers' list changes is made here: grown by the workers,
    // it came from their own heaps, which kept the pages after settling let
    // it go (rounds deleting and restoring a fifth of 20,000 points grew the
    // store from 610 to 860 bytes a point).
    reserve_link_changes(graph, lists.size());
    run_parallel(*pool, lists.size(), repair);
  } else {
    repair(0, lists.size());
  }
  remove_leaving_nodes(graph, points, leaving);
  reattach_orphans(graph, points, orphans);
  settle_link_changes(graph);
}

}  // namespace

Status delete_points(Store& store, std::span<const uint64_t> point_ids, size_t& existed,
                     ChangeKind kind, ChangeSource source, const GraphDelta* links, bool* installed) {
  if (installed != nullptr) *installed = false;
  const ChangesHeld held = hold_changes(store);
  if (Status logged = record(held, Change{kind, point_ids, {}, {}, 0}, source); !logged.ok()) return logged;
  // What an emptied store held, dropped after its locks are let go.
  PointTable emptied_points;
  HnswIndex emptied_graph;
  std::unique_lock segment_lock(store.segment);
  std::unique_lock index_lock(store.index);
  PointTable& points = store.points;
  // The slots that hold a record or a node; an id only a loaded graph names
  // is not a point and stays as it is.
  std::vector<uint32_t> slots;
  for (uint64_t id : point_ids) {
    uint32_t slot = find_slot(points, id);
    if (slot == NO_SLOT) continue;
    if (has_record(points, slot) || has_node(store.graph, slot)) slots.push_back(slot);
  }
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
  existed = 0;
  for (uint32_t slot : slots) existed += has_record(points, slot) ? 1 : 0;
  HnswIndex& graph = store.graph;
  ResolvedDelta resolved;
  std::optional<GraphDelta> delta;
  if (links != nullptr && resolve_graph_delta(graph, points, *links, {}, slots, resolved)) {
    drop_link_bookkeeping(graph);
    for (uint32_t slot : slots) remove_node(graph, slot);
    install_graph_delta(graph, resolved);
    if (installed != nullptr) *installed = true;
  } else {
    ListCaptureScope capture(held, graph, {});
    unlink_slots(graph, points, slots);
    delta = capture.take(points, {});
  }
  for (uint32_t slot : slots) {
    remove_record(points, slot);
    release_slot(points, slot);  // no list names it any more
  }
  settle_row_length(points);
  if (record_count(points) == 0 && graph.node_count == 0) {
    // A store emptied starts afresh, as a new one with its parameters: the
    // vector length its rows were laid out for, the payload keys it interned
    // and the slots it grew to were those of points that are gone (a first
    // point of another length, deleted again, sent every later vector to
    // the slower arena; keys of every point ever stored held memory).
    emptied_graph.m = graph.m;
    emptied_graph.ef_construction = graph.ef_construction;
    emptied_graph.ef_search = graph.ef_search;
    std::swap(points, emptied_points);
    std::swap(graph, emptied_graph);
  }
  index_lock.unlock();
  segment_lock.unlock();
  append_links(held, delta);
  return Status::Ok();
}

bool get_point(const Store& store, uint64_t point_id, PointCopy& out) {
  std::shared_lock segment_lock(store.segment);
  uint32_t slot = find_slot(store.points, point_id);
  if (slot == NO_SLOT || !has_record(store.points, slot)) return false;
  std::span<const float> vector = point_vector(store.points, slot);
  out.vector.assign(vector.begin(), vector.end());
  if (const Payload* payload = record_payload(store.points, slot)) {
    out.payload = *payload;
  } else {
    out.payload.reset();
  }
  return true;
}

size_t point_count(const Store& store) {
  std::shared_lock segment_lock(store.segment);
  return record_count(store.points);
}

bool contains_point(const Store& store, uint64_t point_id) {
  std::shared_lock segment_lock(store.segment);
  uint32_t slot = find_slot(store.points, point_id);
  return slot != NO_SLOT && has_record(store.points, slot);
}

GraphParameters graph_parameters(const Store& store) {
  const ReadView view = read_view(store);
  return {view.graph.m, view.graph.ef_construction, view.graph.ef_search};
}

Status set_ef_search(Store& store, uint64_t ef_search, ChangeSource source) {
  const ChangesHeld held = hold_changes(store);
  const Change change{ChangeKind::EfSearch, {}, {}, {}, ef_search};
  if (Status logged = record(held, change, source); !logged.ok()) return logged;
  WriteView view = write_view(store);
  view.graph.ef_search = ef_search;
  return Status::Ok();
}

}  // namespace tarnwick
