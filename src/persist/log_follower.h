// Following the write-ahead log of a store in another process: a store that
// loaded the writer's snapshot applies each whole record the writer appends,
// in order, and never writes to either file. Its content is always a state
// the writer passed through at a record boundary, and moves forward only, but
// for a change the writer refused: a writer whose sync fails cuts the record
// off again, and a follower that applied it meanwhile then finds the log
// shorter than what it applied, or another record in that one's place.
// When the writer's save starts the log afresh, the follower reads the old
// file to its end through the descriptor it holds and goes on with the new
// one; when it missed a log, when the new one does not continue the old, or
// when the log no longer holds what was applied, it loads the snapshot that
// the log's header names together with that log: the writer's content, with
// no refused change in it.
// Failures come back as a Status whose text is the complete message.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <sys/types.h>

#include "persist/file_replace.h"
#include "persist/log_record.h"
#include "storage/store.h"
#include "util/status.h"

namespace tarnwick {

inline constexpr char FOLLOW_FAILED[] = "Failed to follow log file: ";

// How long a follower waits for the log and the snapshot to name each other,
// as they do once a writer's checkpoint has put both in place.
inline constexpr std::chrono::milliseconds CHECKPOINT_PATIENCE{2000};

// How a follower's polling thread links the changes it cannot give the
// writer's lists (installing those is a small part of the writer's work, done
// at the process's priority either way). Low: at the lowest priority (on
// Linux, from the first such change on), on that thread alone, in small
// steps, so that linking takes only the processor time the writer and the
// follower's own searches leave. Normal: at the process's priority, on the
// worker pool, in large steps, as a caller's catch-up does.
enum class PollingPriority : uint8_t { Low, Normal };

// A log being followed: its file, its header and where the applied records
// end, with what tells whether the file still holds what was applied.
struct FollowedFile {
  FileDescriptor file;     // read only
  uint64_t device = 0;
  uint64_t inode = 0;
  LogHeader header;
  uint64_t applied_end = 0;  // where the applied records end
  std::string header_bytes;  // the file's header, as read when it was opened
  // Where the last record passed starts (0: none yet), and its record header:
  // length, kind and checksums, which tell that record from any other.
  uint64_t last_record_at = 0;
  std::array<char, RECORD_HEADER_BYTES> last_record{};
};

// What a follower's polling thread shares with it. A forked child leaks it
// whole: the thread is not there to join, and the lock and condition variable
// were copied as that thread left them, so even destroying them may wait.
struct Poller {
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;  // guarded by mutex
  std::atomic<bool> stop{false};  // stopping, as a catch-up under way checks it between steps
  std::thread thread;
};

// The state of one follower; the functions below use it.
class LogFollower {
 public:
  LogFollower(Store& store, std::string log_path, std::string snapshot_path);
  // Stops the polling thread and lets the store take changes again, unless
  // stop_following did.
  ~LogFollower();
  LogFollower(const LogFollower&) = delete;
  LogFollower& operator=(const LogFollower&) = delete;

  Store& store;
  const pid_t owner_process;        // a forked child does not follow: the thread is not there
  const std::string given_log_path;  // as follow_log was given it
  // The log's path and where the store's content was loaded from, as seen
  // from the working directory when following began.
  const std::string log_path;
  const std::string snapshot_path;
  std::mutex catching_up;           // one catch-up at a time
  FollowedFile followed;            // guarded by catching_up
  // Guarded by catching_up: whether the store's graph is the writer's, as it
  // is from the snapshot on while every change of the graph came with the
  // writer's lists; until a change is linked here, or a reload.
  bool graph_in_step = false;

  std::unique_ptr<Poller> poller;   // null without a polling thread
  // Guarded by catching_up: set once the follower stopped (stop_following or
  // the destructor); a catch-up then applies nothing.
  bool stopped = false;
};

// Starts following the log at `path` with `store`, whose content must be the
// snapshot file it last loaded (or one it saved) with no change since: the log
// must continue that file, or the follower loads that file's path again with
// the log when the writer has checkpointed since. Applies what the log holds
// before it returns. With `poll` above zero a thread of the follower then
// catches up every `poll`, as `priority` says, until the follower is dropped. Meanwhile the store
// refuses changes of its own (FOLLOWER_REFUSES). InvalidArgument when the store
// has a log open, follows one already, or holds no loaded snapshot; IOError or
// Corruption when the log cannot be read, does not continue the snapshot or
// holds a damaged record: the store then follows nothing, and holds the state
// of the last record applied, if any.
Status start_following(Store& store, const std::string& path, std::chrono::nanoseconds poll,
                       PollingPriority priority, std::unique_ptr<LogFollower>& follower);

// Applies every whole record appended to the followed log since the last
// catch-up, and goes on with a fresh log when the writer started one; when
// the followed file no longer holds what was applied (a record the writer cut
// off again, a file written over), loads the snapshot and the log at the path
// afresh, as after a missed checkpoint. `applied` receives how many records. On failure (the log removed or
// replaced by a file that is no log, a damaged record with whole ones after
// it, a snapshot that does not match the log) the store keeps the state of its
// last applied record, and a later catch-up tries again.
Status catch_up(LogFollower& follower, size_t& applied);

// Stops following now, though other handles of the follower (a catch-up
// under way on another thread) outlive it: waits for the polling thread and
// for a catch-up under way to end, then lets the store take changes again.
// The destructor does the same when it was not done.
void stop_following(LogFollower& follower);

}  // namespace tarnwick
