// The store state owned by one VectorStorage object: the point table and the
// graph, each behind its own reader-writer lock; the store's changes and
// reads, and the lock discipline that code elsewhere follows through its views.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "index/graph_delta.h"
#include "index/hnsw.h"
#include "index/metrics.h"
#include "table/payload.h"
#include "table/point_table.h"
#include "util/status.h"

namespace tarnwick {

// The kinds of change a store records in its log, numbered as the log stores
// them; Links is the log's record of what the change before it did to the graph.
enum class ChangeKind : uint8_t {
  Upsert = 1,
  UpsertBatch = 2,
  Delete = 3,
  DeleteBatch = 4,
  EfSearch = 5,
  Links = 6
};

// One change, as checked and about to apply: upserts name one vector and one
// payload (null for none) per id; EfSearch only its value.
struct Change {
  ChangeKind kind = ChangeKind::Upsert;
  std::span<const uint64_t> ids;
  std::span<const std::span<const float>> vectors;
  std::span<const std::unique_ptr<Payload>> payloads;
  uint64_t ef_search = 0;
};

// Where a store records its changes before they apply (the write-ahead log,
// which persist implements). A forked child does not write to its parent's
// log: the store treats a log opened by another process as no log at all.
class ChangeLog {
 public:
  ChangeLog();
  virtual ~ChangeLog() = default;
  ChangeLog(const ChangeLog&) = delete;
  ChangeLog& operator=(const ChangeLog&) = delete;
  // Records the change, durably as the log's mode asks, before the store
  // applies it; on failure nothing of it is recorded and the store does not
  // apply it.
  virtual Status append(const Change& change) = 0;
  // Records, once the change appended last has applied, what it did to the
  // graph (null: not known), so that a store holding the graph as it was
  // installs the lists instead of linking. A failure leaves nothing of it
  // behind and is not the change's: readers then link that change themselves.
  virtual void append_links(const GraphDelta* delta) = 0;
  const pid_t owner_process;  // the process that opened it
};

// Which snapshot file a content came from: the file's length and CRC-32C.
// Length 0: not known (no snapshot file is empty).
struct SnapshotIdentity {
  uint64_t length = 0;
  uint32_t crc = 0;
  bool known() const { return length != 0; }
  bool operator==(const SnapshotIdentity&) const = default;
};

// The snapshot file the content was last loaded from or saved to: the file as
// it was then, and the store's count of changes then. While that count has
// not moved and the file is still the same, the content is the file's.
struct SnapshotOrigin {
  std::string path;  // as load or save was given it
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modified_ns = 0;
  SnapshotIdentity identity;  // known when a save computed it
  uint64_t changes_made = 0;
};

// The locks are always taken changes first (by those that change the store),
// then segment, then index. Only storage names them: code elsewhere reads and
// replaces the content through the views and functions below.
struct MatchBitsCache;

struct Store {
  // Held by every change from its log record until it has applied, so that
  // the log holds the changes in the order they apply; searches never take it,
  // so a log being written or synced does not hold them up.
  std::mutex changes;
  std::unique_ptr<ChangeLog> log;  // guarded by changes; null when none is open
  uint64_t changes_made = 0;       // guarded by changes: every change counts, applied or not
  std::optional<SnapshotOrigin> origin;  // guarded by changes
  // Guarded by changes: the log this store follows (empty: none). Such a
  // store takes changes only from that log (ChangeSource::FollowedLog).
  std::string followed_log;
  // Guarded by changes: where a change that is logged records its list
  // changes, kept from one change to the next with its buffers.
  std::unique_ptr<ListCapture> list_capture;
  mutable std::shared_mutex segment;
  PointTable points;  // guarded by segment
  mutable std::shared_mutex index;
  HnswIndex graph;    // guarded by index
  // Whether queries that do not choose a walk take the fast one; a setting of
  // this store object, neither logged nor saved, and kept across a load.
  std::atomic<bool> fast_queries{false};
  // The matching records of the last condition a fast walk tested by bits
  // (search.cpp), reused while the payload lists stay as they were.
  mutable std::mutex match_bits_mutex;
  mutable std::shared_ptr<const MatchBitsCache> match_bits;  // guarded by match_bits_mutex
};

// The right to change the store and its log while it lives: no other change
// is made or recorded meanwhile, while searches and reads go on.
struct ChangesHeld {
  std::unique_lock<std::mutex> lock;
  Store& store;
};
ChangesHeld hold_changes(Store& store);

// How many changes the store has taken since it was made (upserts, deletes,
// loads, a log replayed over it, the records of a followed log), counting
// refused ones too: a number that moves whenever the content may have moved.
uint64_t changes_taken(Store& store);

// The store's log when one is open in this process, else null.
ChangeLog* current_log(const ChangesHeld& held);
// Puts `log` (null: none) in place of the store's log and returns the old one,
// also when it belongs to the process this one was forked from.
std::unique_ptr<ChangeLog> exchange_log(ChangesHeld& held, std::unique_ptr<ChangeLog> log);

// Moves the whole content of `from` (a store no one else uses) into `into`,
// as replace_content does, leaving `from` empty.
void move_content(Store& from, Store& into);

// Shared access to the whole content while the view lives: nothing changes the
// points or the graph meanwhile, though other readers run beside it. Searches
// and saves read through one. No Python code runs, and no thread waits for the
// interpreter lock, while one is held.
struct ReadView {
  std::shared_lock<std::shared_mutex> segment_lock;
  std::shared_lock<std::shared_mutex> index_lock;
  const PointTable& points;
  const HnswIndex& graph;
};
ReadView read_view(const Store& store);

// Exclusive access to the whole content while the view lives: no one else
// reads or changes the store meanwhile, so a change made through it is seen
// whole or not at all, and anything recorded while it is held (a log entry)
// is recorded in the order the changes take effect.
struct WriteView {
  std::unique_lock<std::shared_mutex> segment_lock;
  std::unique_lock<std::shared_mutex> index_lock;
  PointTable& points;
  HnswIndex& graph;
};
WriteView write_view(Store& store);

// Replaces the whole content (points, graph and its parameters) with the given
// one, under exclusive access; the old content is dropped after the locks are
// released.
void replace_content(Store& store, PointTable points, HnswIndex graph);

// The most components a point can hold: a slot records its vector's length in 32 bits.
inline constexpr uint64_t MAX_DIMENSION = UINT32_MAX;

// Who asks for a change: the store's caller, or the follower of a log
// applying the records it read (a store that follows a log refuses the rest).
enum class ChangeSource : uint8_t { Caller, FollowedLog };

// The refusal of a change to a store that follows a log.
inline constexpr char FOLLOWER_REFUSES[] = "this store follows the log ";

// Each change below, while a log is open, is recorded in it (one record per
// call) before it applies, with the store's changes held throughout; when the
// log fails the change returns its IOError and the store is left as it was.
// Once recorded a change cannot fail: every check that could refuse it has
// passed, and what remains (storing, linking, unlinking) has no failure but
// the allocation failure that leaves any change in doubt.

// Inserts the point or replaces the one stored under point_id, whole. A null
// payload means the point has none. A vector longer than MAX_DIMENSION is
// refused with InvalidArgument before anything is locked or changed.
Status upsert(Store& store, uint64_t point_id, std::span<const float> vector,
              std::unique_ptr<Payload> payload, ChangeSource source = ChangeSource::Caller);

// Where upsert_batch links its points: on the process's worker pool (large
// batches), or on the calling thread alone, for a caller whose work must not
// run on threads of another priority than its own.
enum class Linking : uint8_t { Workers, CallingThread };

// Stores every point in order, as that many upserts one after another would:
// a later entry for the same id replaces an earlier one whole. A null payload
// means the point has none; the payloads are taken over. The points are linked
// into the graph in parallel on the process's worker pool (unless `linking`
// says otherwise). A vector longer than
// MAX_DIMENSION refuses the whole batch with InvalidArgument before anything is
// locked or changed.
// With `links` (what the change did to the writer's graph, read from its
// log), the points are not linked but given those lists, when they fit this
// graph (resolve_graph_delta); `installed` then receives whether they did.
Status upsert_batch(Store& store, std::span<const uint64_t> point_ids,
                    std::span<const std::span<const float>> vectors,
                    std::span<std::unique_ptr<Payload>> payloads,
                    ChangeSource source = ChangeSource::Caller, Linking linking = Linking::Workers,
                    const GraphDelta* links = nullptr, bool* installed = nullptr);

// Makes room ahead of a batch of points that arrives in steps (each an
// upsert_batch), when the ids it adds (those not stored yet) are at least as
// many as the store holds: the table, its id index and the graph's tree then
// grow once, to what the batch needs, rather than doubling along the way and
// keeping up to half their room unused. Fewer new ids leave growth to the
// steps, so that many batches stay linear and a batch that replaces points
// reserves nothing. Only a hint: a failed allocation is left to the steps.
void make_room_for_points(Store& store, std::span<const uint64_t> point_ids);

// Batches smaller than twice this are linked on the calling thread, and so are
// the first this many points of a graph.
inline constexpr size_t PARALLEL_LINK_MIN = 256;

// Deletions of at most one point per this many nodes find the upper lists
// naming each around it; more take a scan of every upper list.
inline constexpr size_t NEARBY_SEARCH_RATIO = 512;

// Removes the points stored under these ids, with their payloads and graph
// nodes, and reconnects the graph around them. `existed` receives how many of
// the ids (each counted once) held a point. Fails only when the log cannot
// record the change (`kind`: Delete or DeleteBatch), and then changes nothing.
// `links` and `installed` as for upsert_batch: the lists around the leaving
// nodes are then given, not chosen again.
Status delete_points(Store& store, std::span<const uint64_t> point_ids, size_t& existed,
                     ChangeKind kind = ChangeKind::DeleteBatch,
                     ChangeSource source = ChangeSource::Caller, const GraphDelta* links = nullptr,
                     bool* installed = nullptr);

// A copy of one stored point, made under shared access.
struct PointCopy {
  std::vector<float> vector;
  std::optional<Payload> payload;
};

// Copies the point stored under point_id into `out`; false when there is none.
bool get_point(const Store& store, uint64_t point_id, PointCopy& out);

// The number of stored points.
size_t point_count(const Store& store);
bool contains_point(const Store& store, uint64_t point_id);

struct GraphParameters {
  uint64_t m;
  uint64_t ef_construction;
  uint64_t ef_search;
};
GraphParameters graph_parameters(const Store& store);
// Fails only when the log cannot record the change, and then changes nothing.
Status set_ef_search(Store& store, uint64_t ef_search, ChangeSource source = ChangeSource::Caller);

// InvalidArgument naming the followed log when the store follows one (a
// change from its caller is then refused), else Ok. The store's changes are held.
Status check_not_following(const ChangesHeld& held, std::string_view what);

}  // namespace tarnwick
