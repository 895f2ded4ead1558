#include "storage/store.h"

#include <algorithm>
#include <mutex>

#include "index/graph_insert.h"

namespace tarnwick {

void upsert(Store& store, uint64_t point_id, std::span<const float> vector,
            std::unique_ptr<Payload> payload) {
  std::unique_lock segment_lock(store.segment);
  uint32_t slot = put_point(store.points, point_id, point_id, vector, vector_norm(vector), std::move(payload));
  std::unique_lock index_lock(store.index);
  insert_node(store.graph, store.points, slot, point_id, draw_level(store.graph.m));
}

void upsert_batch(Store& store, std::span<const uint64_t> point_ids,
                  std::span<const std::span<const float>> vectors,
                  std::span<std::unique_ptr<Payload>> payloads) {
  std::unique_lock segment_lock(store.segment);
  std::unique_lock index_lock(store.index);
  for (size_t i = 0; i < point_ids.size(); ++i) {
    uint32_t slot = put_point(store.points, point_ids[i], point_ids[i], vectors[i],
                              vector_norm(vectors[i]), std::move(payloads[i]));
    insert_node(store.graph, store.points, slot, point_ids[i], draw_level(store.graph.m));
  }
}

size_t delete_points(Store& store, std::span<const uint64_t> point_ids) {
  std::unique_lock segment_lock(store.segment);
  std::unique_lock index_lock(store.index);
  PointTable& points = store.points;
  // The slots that hold a record or a node; an id only a loaded graph names
  // is not a point and stays as it is.
  std::vector<uint32_t> slots;
  for (uint64_t id : point_ids) {
    uint32_t slot = find_slot(points, id);
    if (slot == NO_SLOT) continue;
    if (points.slots[slot].has_record || has_node(store.graph, slot)) slots.push_back(slot);
  }
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
  size_t existed = 0;
  for (uint32_t slot : slots) existed += points.slots[slot].has_record ? 1 : 0;
  unlink_slots(store.graph, points, slots);
  for (uint32_t slot : slots) {
    remove_record(points, slot);
    release_slot(points, slot);  // no list names it any more
  }
  return existed;
}

bool get_point(const Store& store, uint64_t point_id, PointCopy& out) {
  std::shared_lock segment_lock(store.segment);
  uint32_t slot = find_slot(store.points, point_id);
  if (slot == NO_SLOT || !store.points.slots[slot].has_record) return false;
  const PointSlot& point = store.points.slots[slot];
  std::span<const float> vector = slot_vector(point);
  out.vector.assign(vector.begin(), vector.end());
  if (point.payload) {
    out.payload = *point.payload;
  } else {
    out.payload.reset();
  }
  return true;
}

size_t point_count(const Store& store) {
  std::shared_lock segment_lock(store.segment);
  return store.points.record_count;
}

bool contains_point(const Store& store, uint64_t point_id) {
  std::shared_lock segment_lock(store.segment);
  uint32_t slot = find_slot(store.points, point_id);
  return slot != NO_SLOT && store.points.slots[slot].has_record;
}

GraphParameters graph_parameters(const Store& store) {
  std::shared_lock segment_lock(store.segment);
  std::shared_lock index_lock(store.index);
  return {store.graph.m, store.graph.ef_construction, store.graph.ef_search};
}

void set_ef_search(Store& store, uint64_t ef_search) {
  std::unique_lock segment_lock(store.segment);
  std::unique_lock index_lock(store.index);
  store.graph.ef_search = ef_search;
}

std::vector<ScoredPoint> search_points(const Store& store, std::span<const float> query,
                                       uint64_t limit, Metric metric,
                                       std::optional<std::string_view> tenant) {
  std::shared_lock segment_lock(store.segment);
  std::shared_lock index_lock(store.index);
  // The count is of stored points, not of graph nodes.
  if (store.points.record_count >= HNSW_MIN_POINTS && store.graph.entry_point) {
    return graph_search(store.graph, store.points, query, limit, metric, tenant);
  }
  return exact_search(store.points, query, limit, metric, tenant);
}

}  // namespace tarnwick
