// The write-ahead log of a store: opening one (replaying what it holds),
// appending each change before it applies, syncing it as its mode asks,
// starting it afresh when a snapshot takes over its records, and closing it.
// Failures come back as a Status whose text is the complete message: a fixed
// prefix naming the stage, then the cause.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "storage/store.h"
#include "util/status.h"

namespace tarnwick {

inline constexpr char LOG_OPEN_FAILED[] = "Failed to open log file: ";
inline constexpr char LOG_REPLAY_FAILED[] = "Failed to replay log file: ";
inline constexpr char LOG_APPEND_FAILED[] = "Failed to append to log file: ";
inline constexpr char LOG_SYNC_FAILED[] = "Failed to sync log file: ";
inline constexpr char LOG_CLOSE_FAILED[] = "Failed to close log file: ";
// The text of the warning open_log gives when it dropped a torn tail.
inline constexpr char LOG_TORN_TAIL[] = "Log file ended in a record cut short: ";
// The text of the warning save gives when the snapshot is in place but the
// log could not be started afresh; it keeps its records, which replay over
// the new snapshot to the same state.
inline constexpr char LOG_NOT_RESTARTED[] =
    "Snapshot saved, but the log could not be started afresh and keeps its records: ";
// The text of the warning save and load give when the log was started afresh
// but its directory could not be synced.
inline constexpr char LOG_RESTART_UNSYNCED[] =
    "Log file started afresh, but its directory could not be synced, so the new file may not "
    "survive a crash: ";
// The text of the error load gives when the snapshot is installed but the log
// could not be started afresh: its records belong to the state before, so it
// is closed.
inline constexpr char LOG_CLOSED_AFTER_LOAD[] =
    "Snapshot loaded, but the log could not be started afresh, so it was closed: ";

// How appended records reach stable storage.
enum class LogSync : uint8_t {
  Always,  // each change is synced before it returns
  Batch,   // a thread of the log syncs at most once per BATCH_SYNC_INTERVAL
  None,    // the system writes the file back when it chooses
};
inline constexpr std::chrono::milliseconds BATCH_SYNC_INTERVAL{50};

// Opens the log at `path` and keeps it open on the store: a missing file is
// created (permissions 0600) with a log header; an existing one is replayed
// onto the store's content, in order, and appended to from where its whole
// records end. The file must be a regular file (symbolic links followed) that
// no other store holds open. The records are replayed into a copy of the
// content, which takes the store's place only when they all applied: on any
// failure the store and the file are as they were. A torn tail (a last record
// cut short by a crash) is cut off the file and reported as a Warning naming
// its size. InvalidArgument when the store already has a log open.
Status open_log(Store& store, const std::string& path, LogSync sync);

// Closes the store's log, syncing what Batch has not synced yet. Nothing to do
// when none is open; a log opened by the process this one was forked from is
// let go without being written or synced.
Status close_log(Store& store);

// The path the store's open log was opened under, or nothing.
std::optional<std::string> log_path(Store& store);

// save_snapshot, and with a log open, a checkpoint: no change is made or
// logged from the start of the save to the end of the checkpoint, and once the
// snapshot is in place the log is started afresh, replaced whole by a file
// holding only a header. A crash between the two leaves the old log, whose
// records replay over the new snapshot to the same state. A path that names
// the log's own file (through a symbolic or hard link, or any other spelling)
// is refused with an IOError before anything is written.
Status save_snapshot_and_log(Store& store, const std::string& path);

// load_snapshot, and with a log open, the log started afresh: the loaded
// content is the state its records will follow.
Status load_snapshot_and_log(Store& store, const std::string& path);

}  // namespace tarnwick
