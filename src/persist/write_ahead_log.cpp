// The write-ahead log: the file and its appends, the syncing thread of Batch,
// replay on open, and the checkpoint that starts the log afresh after a save.
#include "persist/write_ahead_log.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "persist/file_replace.h"
#include "persist/log_apply.h"
#include "persist/log_file.h"
#include "persist/log_record.h"
#include "persist/snapshot.h"
#include "persist/snapshot_file.h"
#include "persist/snapshot_identity.h"
#include "util/quiet_thread.h"

namespace tarnwick {

namespace {

// What Batch shares with its syncing thread. A forked child leaks it whole:
// the thread is not there to join, and the lock and condition variable were
// copied as that thread left them, so even destroying them may wait forever.
struct Syncer {
  std::mutex mutex;
  std::condition_variable wake;
  bool dirty = false;     // guarded by mutex: records appended since the last sync began
  bool stopping = false;  // guarded by mutex
  Status failure;         // guarded by mutex: the first failed sync
  std::thread thread;
};

class WriteAheadLog;

// The logs open in this process. A forked child shares their descriptors with
// the parent, and with them the open file descriptions that hold the log's
// flock and the continued snapshot's lock: a child that outlived its parent's
// close_log, or its parent, would keep both locked, and no writer could open
// the log again, nor another store save over either file. The child writes
// neither, so it closes its copies as it starts.
struct OpenLogs {
  OpenLogs() { pthread_atfork(lock_before_fork, unlock_in_parent, let_go_in_child); }

  std::mutex mutex;
  std::vector<WriteAheadLog*> logs;  // guarded by mutex

  static void lock_before_fork();
  static void unlock_in_parent();
  static void let_go_in_child();
};

// Never destroyed: a store dropped late in the process's exit still finds it.
OpenLogs& open_logs() {
  static OpenLogs* const instance = new OpenLogs;
  return *instance;
}

class WriteAheadLog final : public ChangeLog {
 public:
  // Takes `file` over.
  WriteAheadLog(std::string given_path, std::string file_path, FileDescriptor& file, uint64_t end,
                LogSync sync, uint64_t generation)
      : given_path(std::move(given_path)),
        file_path(std::move(file_path)),
        sync(sync),
        generation(generation),
        file_(std::exchange(file.fd, -1)),
        end_(end) {
    if (sync == LogSync::Batch) {
      syncer_ = std::make_unique<Syncer>();
      syncer_->thread = start_quiet_thread([syncer = syncer_.get(), fd = file_.fd] { sync_loop(*syncer, fd); });
    }
    OpenLogs& open = open_logs();
    std::lock_guard lock(open.mutex);
    open.logs.push_back(this);
  }

  ~WriteAheadLog() override {
    {
      OpenLogs& open = open_logs();
      std::lock_guard lock(open.mutex);
      std::erase(open.logs, this);
    }
    if (owner_process != ::getpid()) {
      // A forked child: the syncing state is left alone; the descriptor closes.
      if (syncer_) (void)syncer_.release();  // leaked on purpose
      return;
    }
    stop_syncer();
  }

  // Called only with the store's changes held, which guards end_, buffer_ and broken_.
  Status append(const Change& change) override {
    if (!broken_.ok()) return broken_;
    if (syncer_) {
      std::lock_guard lock(syncer_->mutex);
      if (!syncer_->failure.ok()) broken_ = syncer_->failure;
    }
    if (!broken_.ok()) return broken_;
    buffer_.clear();
    if (Status encoded = put_log_record(buffer_, change); !encoded.ok()) {
      return encoded.prefixed(LOG_APPEND_FAILED);
    }
    if (Status written = pwrite_all(file_.fd, buffer_, end_); !written.ok()) {
      // A partial record would stand between whole ones: it is cut off, and a
      // log that cannot cut it takes no more records.
      if (::ftruncate(file_.fd, static_cast<off_t>(end_)) != 0) {
        broken_ = os_error(errno).prefixed(LOG_APPEND_FAILED);
      }
      return written.prefixed(LOG_APPEND_FAILED);
    }
    if (sync == LogSync::Always) {
      if (Status synced = data_sync(file_.fd); !synced.ok()) {
        // What reached the disk is no longer known: the record is cut off, so
        // that it does not replay, and the log takes no more.
        (void)::ftruncate(file_.fd, static_cast<off_t>(end_));
        broken_ = synced.prefixed(LOG_SYNC_FAILED);
        return broken_;
      }
    }
    if (Status named = check_still_named(file_.fd); !named.ok()) {
      // No recovery reads a file that no name leads to: the change is refused.
      (void)::ftruncate(file_.fd, static_cast<off_t>(end_));
      return named.prefixed(LOG_APPEND_FAILED);
    }
    end_ += buffer_.size();
    wake_syncer();
    return Status::Ok();
  }

  // Tells the background syncer, if any, that written records wait for a sync.
  void wake_syncer() {
    if (!syncer_) return;
    std::lock_guard lock(syncer_->mutex);
    if (!syncer_->dirty) {
      syncer_->dirty = true;
      syncer_->wake.notify_one();
    }
  }

  // Called only with the store's changes held, right after the change that
  // append recorded has applied. Not synced on its own: a record lost to a
  // crash leaves its change without lists, which replay links again.
  void append_links(const GraphDelta* delta) override {
    if (!broken_.ok()) return;
    buffer_.clear();
    if (!put_log_links(buffer_, delta).ok()) {
      buffer_.clear();
      (void)put_log_links(buffer_, nullptr);
    }
    if (Status written = pwrite_all(file_.fd, buffer_, end_); !written.ok()) {
      if (::ftruncate(file_.fd, static_cast<off_t>(end_)) != 0) {
        broken_ = os_error(errno).prefixed(LOG_APPEND_FAILED);
        return;
      }
      // No room for the lists (a full disk): the short record that tells
      // followers to link the change themselves may still fit. Without either,
      // followers wait for lists until the next record follows the change.
      buffer_.clear();
      (void)put_log_links(buffer_, nullptr);
      if (!pwrite_all(file_.fd, buffer_, end_).ok()) {
        if (::ftruncate(file_.fd, static_cast<off_t>(end_)) != 0) {
          broken_ = os_error(errno).prefixed(LOG_APPEND_FAILED);
        }
        return;
      }
    }
    end_ += buffer_.size();
    wake_syncer();
  }

  // Syncs what Batch has not synced, or what None left to the system, and
  // closes the file; the first failure.
  Status close() {
    Status result = broken_;
    if (syncer_) {
      stop_syncer();
      if (result.ok()) result = syncer_->failure;
    }
    if (sync == LogSync::None && result.ok()) result = data_sync(file_.fd).prefixed(LOG_SYNC_FAILED);
    Status closed = file_.close().prefixed(LOG_CLOSE_FAILED);
    return result.ok() ? closed : result;
  }

  // The open file the records go to.
  int descriptor() const { return file_.fd; }

  // In a forked child: closes the descriptors that hold the locks. The
  // parent's copies keep them held.
  void let_go_of_locks() {
    for (FileDescriptor* held : {&file_, &continued_snapshot}) {
      if (held->fd >= 0) (void)held->close();
    }
  }

  const std::string given_path;  // as open_log was given it
  const std::string file_path;   // symbolic links followed
  const LogSync sync;
  const uint64_t generation;  // from the file's header
  // The snapshot file the records apply to, locked as continued; may be empty.
  FileDescriptor continued_snapshot;

 private:
  static void sync_loop(Syncer& syncer, int fd) {
    std::unique_lock lock(syncer.mutex);
    for (;;) {
      syncer.wake.wait(lock, [&] { return syncer.dirty || syncer.stopping; });
      if (!syncer.dirty) return;
      syncer.dirty = false;
      lock.unlock();
      Status synced = data_sync(fd);
      lock.lock();
      if (!synced.ok() && syncer.failure.ok()) syncer.failure = synced.prefixed(LOG_SYNC_FAILED);
      if (syncer.stopping) continue;  // what came meanwhile is synced before stopping
      syncer.wake.wait_for(lock, BATCH_SYNC_INTERVAL, [&] { return syncer.stopping; });
    }
  }

  // Stops the syncing thread once it has synced every record; the state stays.
  void stop_syncer() {
    if (!syncer_ || !syncer_->thread.joinable()) return;
    {
      std::lock_guard lock(syncer_->mutex);
      syncer_->stopping = true;
    }
    syncer_->wake.notify_one();
    syncer_->thread.join();
  }

  FileDescriptor file_;
  uint64_t end_;         // where the whole records end
  std::string buffer_;   // the record being appended
  Status broken_;        // a failure after which no record is taken
  std::unique_ptr<Syncer> syncer_;  // Batch only
};

void OpenLogs::lock_before_fork() { open_logs().mutex.lock(); }

void OpenLogs::unlock_in_parent() { open_logs().mutex.unlock(); }

void OpenLogs::let_go_in_child() {
  OpenLogs& open = open_logs();
  for (WriteAheadLog* log : open.logs) log->let_go_of_locks();
  open.mutex.unlock();
}

WriteAheadLog* open_here(const ChangesHeld& held) {
  return static_cast<WriteAheadLog*>(current_log(held));
}

// Copies the content of `store` into the empty `copy`, through the snapshot
// coding, which keeps points, graph and parameters exactly.
Status copy_content(Store& store, Store& copy) {
  SnapshotState state;
  {
    ByteBuffer bytes;
    {
      const ReadView view = read_view(store);
      bytes = encode_snapshot(view.points, view.graph);
    }
    if (Status decoded = decode_snapshot(bytes.view(), state); !decoded.ok()) {
      return Status::Internal("a copy of the store does not decode: " + decoded.text());
    }
  }
  install_state(copy, std::move(state));
  return Status::Ok();
}

// Starts the open log afresh, replacing its file whole by one holding only
// `header`, whose generation follows the log's; the store's changes are held.
// IOError when the old file is still in place (and still the log); Ok, or a
// Warning when the new file is in place but its directory could not be synced.
Status restart_log(ChangesHeld& held, WriteAheadLog& log, LogHeader header) {
  header.generation = log.generation + 1;
  FileTarget target;
  if (Status resolved = resolve_target(log.file_path, target); !resolved.ok()) return resolved;
  // Dropped after the replacement, so that its lock outlives an unlink.
  FileDescriptor kept;
  Replacement replacement;
  if (Status begun = begin_replacement(target, replacement); !begun.ok()) return begun;
  // A second descriptor of the new file, which the log keeps: the one that
  // holds its lock where the file system locks.
  kept.fd = std::exchange(replacement.lock.fd, -1);
  if (kept.fd < 0) kept.fd = ::fcntl(replacement.file.fd, F_DUPFD_CLOEXEC, 0);
  if (kept.fd < 0) return os_error(errno);
  std::string bytes;
  put_log_header(bytes, header);
  if (Status written = write_all(replacement.file.fd, bytes); !written.ok()) return written;
  auto fresh = std::make_unique<WriteAheadLog>(log.given_path, log.file_path, kept, LOG_HEADER_BYTES, log.sync,
                                               header.generation);
  Status finished = finish_replacement(replacement);
  if (!replacement.renamed) return finished;
  // The old file is no longer named by the path; its records are in the snapshot.
  (void)exchange_log(held, std::move(fresh));
  return finished;
}

// Whether a snapshot saved to `target` would take the log's place: the file
// there is the log's own (device and inode, so a hard link or another
// spelling of the path counts), or the name is the one the log's restart
// replaces (the same name in the same directory, as when the log's file was
// removed meanwhile).
bool takes_log_place(const FileTarget& target, const WriteAheadLog& log) {
  struct stat log_file;
  struct stat there;
  if (target.exists && ::fstat(log.descriptor(), &log_file) == 0 &&
      ::stat(target.path.c_str(), &there) == 0 && same_inode(there, log_file)) {
    return true;
  }
  FileTarget log_target;
  if (!resolve_target(log.file_path, log_target).ok() || log_target.name != target.name) return false;
  struct stat log_directory;
  struct stat directory;
  return ::stat(log_target.directory.c_str(), &log_directory) == 0 &&
         ::stat(target.directory.c_str(), &directory) == 0 && same_inode(directory, log_directory);
}

}  // namespace

Status open_log(Store& store, const std::string& path, LogSync sync) {
  if (Status checked = check_path(path); !checked.ok()) return checked.prefixed(LOG_OPEN_FAILED);
  {
    const ChangesHeld held = hold_changes(store);
    if (const WriteAheadLog* open = open_here(held)) {
      return Status::InvalidArgument("a log is already open on this store: " + open->given_path);
    }
    if (Status refused = check_not_following(held, "open_log is"); !refused.ok()) return refused;
  }
  FileTarget target;
  // A relative path is taken from the working directory now: checkpoints
  // start the log afresh at the same file after the process moves elsewhere.
  if (Status resolved = resolve_target(path_from_working_directory(path), target); !resolved.ok()) {
    return resolved.prefixed(LOG_OPEN_FAILED);
  }
  FileDescriptor file;
  if (Status opened = open_log_file(target.path, file); !opened.ok()) return opened.prefixed(LOG_OPEN_FAILED);
  struct stat info;
  if (::fstat(file.fd, &info) != 0) return os_error(errno).prefixed(LOG_OPEN_FAILED);
  std::string bytes;
  if (Status read = read_all(file.fd, static_cast<size_t>(info.st_size), bytes); !read.ok()) {
    return read.prefixed(LOG_OPEN_FAILED);
  }
  LogReader reader;
  if (Status started = start_log_reader(bytes, reader); !started.ok()) return started.prefixed(LOG_OPEN_FAILED);

  ChangesHeld held = hold_changes(store);
  if (const WriteAheadLog* open = open_here(held)) {
    return Status::InvalidArgument("a log is already open on this store: " + open->given_path);
  }
  if (Status refused = check_not_following(held, "open_log is"); !refused.ok()) return refused;
  FileDescriptor continued;
  hold_origin_snapshot(held, continued);
  std::unique_ptr<Store> replayed;
  bool ends_without_links = false;
  if (reader.offset < reader.file.size()) {
    replayed = std::make_unique<Store>();
    if (Status copied = copy_content(store, *replayed); !copied.ok()) return copied;
    const bool in_step = reader.header.snapshot.known() && content_identity(held) == reader.header.snapshot;
    if (Status applied = replay(reader, *replayed, in_step, ends_without_links); !applied.ok()) {
      return applied.prefixed(LOG_REPLAY_FAILED);
    }
  } else {
    LogRecord none;
    Status status;
    (void)next_log_record(reader, none, status);  // finds the end: clean, or torn
  }
  const uint64_t whole_end = reader.offset;
  uint64_t end = whole_end;
  const size_t torn = reader.torn_bytes;
  uint64_t generation = reader.header.generation;
  if (end == 0) {
    // No header yet: a new file, or one whose creation a crash cut short. Its
    // records will apply to the content as it is, which is a snapshot file's
    // when it was loaded or saved and not changed since.
    LogHeader header;
    header.flags = LINKS_FOLLOW;
    header.generation = generation = 1;
    header.snapshot = content_identity(held);
    std::string bytes;
    put_log_header(bytes, header);
    Status made = torn != 0 && ::ftruncate(file.fd, 0) != 0 ? os_error(errno) : Status::Ok();
    if (made.ok()) made = pwrite_all(file.fd, bytes, 0);
    if (made.ok()) made = data_sync(file.fd);
    if (made.ok()) made = sync_directory(target.directory);
    if (!made.ok()) return made.prefixed(LOG_OPEN_FAILED);
  } else if (torn != 0) {
    Status cut = ::ftruncate(file.fd, static_cast<off_t>(end)) != 0 ? os_error(errno) : data_sync(file.fd);
    if (!cut.ok()) return cut.prefixed(LOG_OPEN_FAILED);
  }
  if (ends_without_links && reader.header.links_follow()) {
    // The writer stopped between a change and its lists: followers waiting
    // for them are told to link that change themselves.
    // On a full disk the note may not fit: the log opens all the same (a
    // recovery must not wait for room), and followers link that change once
    // the next record follows it.
    std::string none;
    (void)put_log_links(none, nullptr);
    if (Status told = pwrite_all(file.fd, none, end); told.ok()) {
      if (Status synced = data_sync(file.fd); !synced.ok()) return synced.prefixed(LOG_OPEN_FAILED);
      end += none.size();
    } else if (::ftruncate(file.fd, static_cast<off_t>(end)) != 0) {
      return told.prefixed(LOG_OPEN_FAILED);
    }
  }
  const uint64_t append_at = end == 0 ? LOG_HEADER_BYTES : end;
  auto opened = std::make_unique<WriteAheadLog>(path, target.path, file, append_at, sync, generation);
  opened->continued_snapshot.fd = std::exchange(continued.fd, -1);
  if (replayed) {
    move_content(*replayed, store);
    ++store.changes_made;
  }
  (void)exchange_log(held, std::move(opened));
  if (torn == 0) return Status::Ok();
  return Status::Warning(std::string(LOG_TORN_TAIL) + std::to_string(torn) + " bytes after offset " +
                         std::to_string(whole_end) + " were dropped");
}

Status close_log(Store& store) {
  std::unique_ptr<ChangeLog> log;
  {
    ChangesHeld held = hold_changes(store);
    const bool here = open_here(held) != nullptr;
    log = exchange_log(held, nullptr);
    if (!here) return Status::Ok();  // none, or the parent's: dropped unwritten
    return static_cast<WriteAheadLog&>(*log).close();
  }
}

std::optional<std::string> log_path(Store& store) {
  const ChangesHeld held = hold_changes(store);
  if (const WriteAheadLog* open = open_here(held)) return open->given_path;
  return std::nullopt;
}

Status save_snapshot_and_log(Store& store, const std::string& path) {
  ChangesHeld held = hold_changes(store);
  WriteAheadLog* log = open_here(held);
  const uint64_t changes_before = store.changes_made;
  // A device, pipe or socket takes the bytes but holds no snapshot to load.
  FileTarget target;
  const bool to_file = check_path(path).ok() && resolve_target(path, target).ok() && target.regular;
  if (to_file && log != nullptr && takes_log_place(target, *log)) {
    // The restart would then replace the snapshot by an empty log: the
    // records acknowledged so far would be in no file.
    return Status::IOError(path + " is the file of this store's open log (" + log->given_path +
                           "): a snapshot there would destroy the log; save to another path, "
                           "or close the log first")
        .prefixed(CREATE_FAILED);
  }
  if (to_file && is_log_held_open(target)) {
    return Status::IOError(path + " is a log that another store has open: a snapshot there "
                           "would destroy the records it holds; save to another path")
        .prefixed(CREATE_FAILED);
  }
  FileDescriptor no_file;
  if (to_file && continued_by_another_log(target.path, log ? log->continued_snapshot : no_file)) {
    return Status::IOError(path + " is the snapshot that another store's open log continues: a "
                           "snapshot of other content there would make that log replay onto it; "
                           "save to another path")
        .prefixed(CREATE_FAILED);
  }
  if (log == nullptr) {
    held.lock.unlock();
    Status saved = save_snapshot(store, path);
    if (saved.ok()) set_snapshot_origin(hold_changes(store), path, SnapshotIdentity(), changes_before);
    return saved;
  }
  SnapshotIdentity identity;
  // Locked before its rename, and kept until the log holds it.
  FileDescriptor new_snapshot;
  Status saved = save_snapshot(store, path, &identity, &new_snapshot);
  // A warning: the new snapshot's name may not survive a crash, so the log
  // keeps the records that replay over either snapshot.
  if (!saved.ok() || !to_file) return saved;
  set_snapshot_origin(held, path, identity, changes_before);
  // The fresh log starts where this one ends: a follower that read this one
  // to its end goes on with the next without loading the snapshot.
  LogHeader header;
  header.flags = CONTINUES_PREVIOUS | LINKS_FOLLOW;
  header.snapshot = identity;
  Status restarted = restart_log(held, *log, header);
  // The records, in the fresh log or kept in the old one, now apply to this file.
  hold_origin_snapshot(held, open_here(held)->continued_snapshot);
  if (restarted.ok()) return restarted;
  if (restarted.kind() == Status::Kind::Warning) return restarted.prefixed(LOG_RESTART_UNSYNCED);
  return Status::Warning(std::string(LOG_NOT_RESTARTED) + restarted.text());
}

Status load_snapshot_and_log(Store& store, const std::string& path) {
  ChangesHeld held = hold_changes(store);
  if (Status refused = check_not_following(held, "load is"); !refused.ok()) return refused;
  WriteAheadLog* log = open_here(held);
  const uint64_t changes_before = store.changes_made;
  // The origin is the file read, whatever the path names once it is read: a
  // writer's checkpoint may have put a newer snapshot there meanwhile, whose
  // fresh log must not be taken to continue this content.
  FileStamp read_from;
  // The changes stay held while the file is read, with a log or without: a
  // log opened or followed meanwhile (on a thread that let the interpreter
  // lock go) would apply its records to the content this load replaces, or
  // put its replayed copy of that content back over the loaded one.
  if (Status loaded = load_snapshot(store, path, &read_from); !loaded.ok()) return loaded;
  ++store.changes_made;
  set_snapshot_origin(held, path, SnapshotIdentity(), changes_before + 1, &read_from);
  if (log == nullptr) return Status::Ok();
  // The fresh log's records apply to the loaded file, not to where the old
  // log ended.
  LogHeader header;
  header.flags = LINKS_FOLLOW;
  header.snapshot = content_identity(held);
  // Locked before the fresh log names it, so that no other store's save
  // takes its place meanwhile.
  FileDescriptor loaded;
  hold_origin_snapshot(held, loaded);
  Status restarted = restart_log(held, *log, header);
  if (restarted.ok() || restarted.kind() == Status::Kind::Warning) {
    std::swap(open_here(held)->continued_snapshot.fd, loaded.fd);
    return restarted.ok() ? restarted : restarted.prefixed(LOG_RESTART_UNSYNCED);
  }
  std::unique_ptr<ChangeLog> closed = exchange_log(held, nullptr);
  (void)static_cast<WriteAheadLog&>(*closed).close();
  return Status::IOError(std::string(LOG_CLOSED_AFTER_LOAD) + restarted.text());
}

}  // namespace tarnwick
