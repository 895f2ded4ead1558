// The follower of a log: reading what the writer appended since the last
// catch-up, applying its whole records in bounded steps, going on with a fresh
// log after a checkpoint, and loading snapshot and log together when it must.
#include "persist/log_follower.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "persist/log_apply.h"
#include "persist/snapshot.h"
#include "persist/snapshot_file.h"
#include "persist/snapshot_identity.h"
#include "util/crc32c.h"
#include "util/quiet_thread.h"
#include "util/worker_pool.h"

namespace tarnwick {

namespace {

// How records are applied: upserts of consecutive records gathered into one
// step of at most `step_points` (a record holding more is applied whole;
// searches wait for one step at most), linked as `linking` says.
struct ApplyPace {
  size_t step_points;
  Linking linking;
  // When set, checked between steps: the rest waits for a later catch-up.
  const std::atomic<bool>* stop = nullptr;
  // Whether the calling thread goes to the lowest priority before it links
  // a change itself (installing the writer's lists is a small part of the
  // writer's work, linking all of it).
  bool lower_to_link = false;
};

// A caller's catch-up (and the first one, when following starts) applies on
// the caller's thread and the worker pool, in large steps.
constexpr ApplyPace CALLER_PACE{4096, Linking::Workers};
// A polling thread of low priority links on its own thread (the pool's
// workers run at their own priority) in small steps, so that a search does
// not wait long behind a step that other work keeps off the processor.
constexpr size_t POLLING_STEP_POINTS = 64;
constexpr int POLLING_NICENESS = 19;
constexpr std::chrono::milliseconds PATIENCE_STEP{5};

// Lowers the calling thread's priority (on Linux a thread has a niceness of
// its own); elsewhere it keeps the process's.
void lower_own_priority() {
#ifdef __linux__
  // The thread id through syscall: the gettid wrapper needs a newer C library
  // than the wheels are built for.
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), POLLING_NICENESS);
#endif
}

// Reads a file from `offset` to the end its size gave a moment ago.
Status read_from(int fd, uint64_t offset, std::string& out) {
  out.clear();
  struct stat info;
  if (::fstat(fd, &info) != 0) return os_error(errno);
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  if (size <= offset) return Status::Ok();
  out.resize(size - offset);
  size_t done = 0;
  while (done < out.size()) {
    ssize_t got = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (got == 0) break;  // cut meanwhile: a writer that dropped a torn tail
    done += static_cast<size_t>(got);
  }
  out.resize(done);
  return Status::Ok();
}

// Reads up to `size` bytes of a file from `offset`; fewer where it ends.
Status read_at(int fd, uint64_t offset, size_t size, std::string& out) {
  out.resize(size);
  size_t done = 0;
  while (done < size) {
    ssize_t got = ::pread(fd, out.data() + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  out.resize(done);
  return Status::Ok();
}

// Opens a regular file for reading only.
Status open_for_reading(const std::string& path, FileDescriptor& file, struct stat& info) {
  if (Status checked = check_path(path); !checked.ok()) return checked;
  // O_NONBLOCK: a pipe put in a file's place is not waited on, only refused.
  file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (file.fd < 0) return os_error(errno);
  if (::fstat(file.fd, &info) != 0) return os_error(errno);
  if (!S_ISREG(info.st_mode)) return Status::IOError("not a regular file");
  return Status::Ok();
}

// Why opening the file at a log's path did not give a log to follow.
enum class OpenOutcome { Opened, NoHeaderYet, Failed };

// Opens the log at `path` and reads it whole into `bytes`.
OpenOutcome open_followed(const std::string& path, FollowedFile& out, std::string& bytes, Status& status) {
  struct stat info;
  status = open_for_reading(path, out.file, info);
  if (!status.ok()) return OpenOutcome::Failed;
  out.device = static_cast<uint64_t>(info.st_dev);
  out.inode = static_cast<uint64_t>(info.st_ino);
  if (status = read_from(out.file.fd, 0, bytes); !status.ok()) return OpenOutcome::Failed;
  LogReader reader;
  if (status = start_log_reader(bytes, reader); !status.ok()) return OpenOutcome::Failed;
  if (reader.offset == 0) {
    // A writer creating the file has not written its header yet.
    status = Status::IOError("the file holds no whole log header");
    return OpenOutcome::NoHeaderYet;
  }
  out.header = reader.header;
  out.applied_end = reader.offset;
  out.header_bytes.assign(bytes, 0, reader.offset);
  out.last_record_at = 0;
  return OpenOutcome::Opened;
}

// Makes `next` the followed file; the one before is closed.
void go_on_with(FollowedFile& followed, FollowedFile& next) {
  std::swap(followed.file.fd, next.file.fd);
  followed.device = next.device;
  followed.inode = next.inode;
  followed.header = next.header;
  followed.applied_end = next.applied_end;
  followed.header_bytes = std::move(next.header_bytes);
  followed.last_record_at = next.last_record_at;
  followed.last_record = next.last_record;
}

// Whether the followed file still holds what was applied from it: bytes up to
// the applied end, the header it had when it was opened, and the record
// passed last in its place. A writer whose sync failed after the record was
// written cuts it off again, and may then write another where it was; a file
// written over in place holds other records altogether.
Status holds_what_was_applied(const FollowedFile& file, bool& holds) {
  holds = false;
  struct stat info;
  if (::fstat(file.file.fd, &info) != 0) return os_error(errno);
  if (static_cast<uint64_t>(info.st_size) < file.applied_end) return Status::Ok();
  std::string found;
  if (Status read = read_at(file.file.fd, 0, file.header_bytes.size(), found); !read.ok()) return read;
  if (found != file.header_bytes) return Status::Ok();
  if (file.last_record_at != 0) {
    if (Status read = read_at(file.file.fd, file.last_record_at, RECORD_HEADER_BYTES, found); !read.ok()) {
      return read;
    }
    if (found != std::string_view(file.last_record.data(), file.last_record.size())) return Status::Ok();
  }
  holds = true;
  return Status::Ok();
}

// Applies the whole records of `bytes`, the part of `file` from its applied
// end on, to `target`, in order, in steps that each end at a record boundary;
// after each step the file's applied end moves past it and `applied` counts
// its records. Each step holds the target's locks only while it applies; the
// records are decoded before. While `in_step` (the target's graph is the
// writer's) a change of the graph with its Links record after it is given the
// writer's lists, alone in its step; one linked here ends that. Stops at the
// end of the whole records (a torn tail is left for later), before a change
// whose Links the writer has yet to append (unless the file is `finished`:
// the writer appends no more), or at a damaged record with its error.
Status apply_records(Store& target, ChangeSource source, std::string_view bytes, FollowedFile& file,
                     ApplyPace pace, bool& in_step, bool finished, size_t& applied) {
  LogReader reader = log_reader_at(bytes, file.applied_end, file.header);
  const uint64_t base = file.applied_end;
  // The records up to `end` are applied; the last of them starts at `at`.
  auto passed = [&](uint64_t at, uint64_t end) {
    file.applied_end = end;
    file.last_record_at = at;
    std::memcpy(file.last_record.data(), bytes.data() + (at - base), RECORD_HEADER_BYTES);
  };
  PendingUpserts pending;
  uint64_t pending_at = 0;  // where the last record gathered starts
  auto stopped = [&] { return pace.stop != nullptr && pace.stop->load(std::memory_order_relaxed); };
  auto before_linking = [&] {
    if (pace.lower_to_link) lower_own_priority();  // for good: the thread never raises it again
  };
  auto flush = [&]() -> Status {
    if (pending.ids.empty()) return Status::Ok();
    before_linking();
    std::vector<std::span<const float>> spans(pending.vectors.begin(), pending.vectors.end());
    Status stored = upsert_batch(target, pending.ids, spans, pending.payloads, source, pace.linking);
    if (!stored.ok()) return stored;
    passed(pending_at, pending.end);
    applied += pending.records;
    pending = PendingUpserts();
    return Status::Ok();
  };
  LogRecord record;
  LogRecord links;
  Status status;
  while (!stopped() && !(in_step && links_pending(reader, finished)) && next_log_record(reader, record, status)) {
    const uint64_t end = base + reader.offset;
    if (record.kind == ChangeKind::Links) {
      // After a change linked here: nothing to apply.
      if (pending.ids.empty()) {
        passed(record.offset, end);
      } else {
        pending_at = record.offset;
        pending.end = end;
      }
      continue;
    }
    if (changes_graph(record.kind) && in_step) {
      const LinksAhead ahead = read_links_after(reader, links, finished);
      if (ahead == LinksAhead::Pending) break;
      if (ahead == LinksAhead::Given) {
        if (Status flushed = flush(); !flushed.ok()) return flushed;
        bool installed;
        const GraphDelta* delta = links.links ? &*links.links : nullptr;
        if (Status changed = apply_with_links(target, record, delta, source, pace.linking, installed);
            !changed.ok()) {
          return changed;
        }
        in_step = installed;
        passed(links.offset, base + reader.offset);
        ++applied;
        continue;
      }
      in_step = false;
    }
    if (record.kind == ChangeKind::Upsert || record.kind == ChangeKind::UpsertBatch) {
      if (!pending.ids.empty() && pending.ids.size() + record.ids.size() > pace.step_points) {
        if (Status flushed = flush(); !flushed.ok()) return flushed;
      }
      gather_upserts(record, pending);
      pending_at = record.offset;
      pending.end = end;
      continue;
    }
    if (Status flushed = flush(); !flushed.ok()) return flushed;
    Status changed;
    if (record.kind == ChangeKind::EfSearch) {
      changed = set_ef_search(target, record.ef_search, source);
    } else {
      before_linking();
      size_t existed;
      changed = delete_points(target, record.ids, existed, record.kind, source);
    }
    if (!changed.ok()) return changed;
    passed(record.offset, end);
    ++applied;
  }
  if (Status flushed = flush(); !flushed.ok()) return flushed;
  return stopped() ? Status::Ok() : status;
}

// Loads the follower's snapshot file together with the log `next` (read whole
// into `bytes`) into a store of its own, outside the follower's store and its
// locks, then puts that content in place. `mismatch` tells a snapshot file
// that is not the one the log names (the writer may be between the two
// renames of a checkpoint).
Status reload(LogFollower& follower, FollowedFile& next, std::string_view bytes, ApplyPace pace,
              size_t& applied, bool& mismatch) {
  mismatch = false;
  const SnapshotIdentity named = next.header.snapshot;
  if (!named.known()) {
    return Status::IOError("the log names no snapshot its records apply to, and does not continue the log "
                           "followed so far");
  }
  SnapshotState state;
  {
    FileDescriptor file;
    struct stat info;
    if (Status opened = open_for_reading(follower.snapshot_path, file, info); !opened.ok()) {
      return opened.prefixed("the snapshot " + follower.snapshot_path + " cannot be read: ");
    }
    std::string snapshot;
    if (Status read = read_from(file.fd, 0, snapshot); !read.ok()) {
      return read.prefixed("the snapshot " + follower.snapshot_path + " cannot be read: ");
    }
    const SnapshotIdentity found{snapshot.size(), crc32c(snapshot.data(), snapshot.size())};
    if (found != named) {
      mismatch = true;
      return Status::IOError("the log continues a snapshot of " + std::to_string(named.length) +
                             " bytes, and the file at " + follower.snapshot_path + " is another (" +
                             std::to_string(found.length) + " bytes); the follower goes on when both are "
                             "in place");
    }
    if (Status decoded = decode_snapshot(snapshot, state); !decoded.ok()) {
      return decoded.prefixed(DECODE_FAILED);
    }
  }
  Store fresh;
  install_state(fresh, std::move(state));
  size_t got = 0;
  // No one searches the store being built: its steps need no bound.
  const ApplyPace alone{SIZE_MAX, pace.linking, pace.stop, pace.lower_to_link};
  bool in_step = true;
  if (Status replayed = apply_records(fresh, ChangeSource::Caller, bytes.substr(next.applied_end), next, alone,
                                      in_step, false, got);
      !replayed.ok()) {
    return replayed;
  }
  {
    const ChangesHeld held = hold_changes(follower.store);
    move_content(fresh, follower.store);
    ++follower.store.changes_made;
  }
  follower.graph_in_step = in_step;
  applied += got;
  return Status::Ok();
}

// Goes on with the log at the follower's path: applies its records to the
// store's content when `continues(header)` says the log continues it, else
// loads the snapshot the log names with it. Waits up to CHECKPOINT_PATIENCE
// for a writer to put both in place; a failure to open or load them carries
// `failure_prefix`.
template <typename Continues>
Status take_log_at_path(LogFollower& follower, Continues continues, std::string_view failure_prefix,
                        ApplyPace pace, size_t& applied) {
  const auto deadline = std::chrono::steady_clock::now() + CHECKPOINT_PATIENCE;
  for (;;) {
    FollowedFile next;
    std::string bytes;
    Status status;
    const OpenOutcome outcome = open_followed(follower.log_path, next, bytes, status);
    bool wait = outcome == OpenOutcome::NoHeaderYet;
    if (outcome == OpenOutcome::Opened) {
      if (continues(next.header)) {
        go_on_with(follower.followed, next);
        return apply_records(follower.store, ChangeSource::FollowedLog,
                             std::string_view(bytes).substr(follower.followed.applied_end),
                             follower.followed, pace, follower.graph_in_step, false, applied);
      }
      status = reload(follower, next, bytes, pace, applied, wait);
      if (status.ok()) {
        go_on_with(follower.followed, next);
        return Status::Ok();
      }
    }
    if (!wait || std::chrono::steady_clock::now() >= deadline) return status.prefixed(failure_prefix);
    std::this_thread::sleep_for(PATIENCE_STEP);
  }
}

// Goes on with the log now at the followed path, once the one followed so far
// is read to its end: at once when it continues that one, else by loading the
// snapshot it names with it.
Status go_on_with_next_log(LogFollower& follower, ApplyPace pace, size_t& applied) {
  const uint64_t generation = follower.followed.header.generation;
  auto continues = [generation](const LogHeader& header) {
    return header.continues_previous() && header.generation == generation + 1;
  };
  return take_log_at_path(follower, continues,
                          "the file now at the log's path is no log to go on with: ", pace, applied);
}

// Loads the snapshot that the log at the followed path names together with
// that log, in place of what the follower applied: the followed file no
// longer holds the records applied from it.
Status take_log_afresh(LogFollower& follower, ApplyPace pace, size_t& applied) {
  return take_log_at_path(follower, [](const LogHeader&) { return false; },
                          "the log no longer holds the records applied from it (a change the writer "
                          "refused, or a file written over), and cannot be loaded afresh: ",
                          pace, applied);
}

Status catch_up_held(LogFollower& follower, ApplyPace pace, size_t& applied) {
  applied = 0;
  FollowedFile& followed = follower.followed;
  // Whether the path still names the file followed, asked before that file is
  // read: records the writer appended to it before replacing it are all there.
  struct stat at_path;
  const bool present = ::stat(follower.log_path.c_str(), &at_path) == 0;
  const int stat_error = errno;
  const bool replaced = !present || static_cast<uint64_t>(at_path.st_dev) != followed.device ||
                        static_cast<uint64_t>(at_path.st_ino) != followed.inode;
  auto gone = [&] {
    return Status::IOError("the log is gone from its path (" + os_error_text(stat_error) +
                           "); the store keeps the state of its last applied record");
  };
  // Asked after the path: a writer's checkpoint replaces the log only once
  // its last append, and any cut of a refused record, is done.
  bool holds;
  if (Status checked = holds_what_was_applied(followed, holds); !checked.ok()) return checked;
  if (!holds) {
    if (!present) return gone();
    return take_log_afresh(follower, pace, applied);
  }
  std::string bytes;
  if (Status read = read_from(followed.file.fd, followed.applied_end, bytes); !read.ok()) return read;
  if (Status done = apply_records(follower.store, ChangeSource::FollowedLog, bytes, followed, pace,
                                  follower.graph_in_step, replaced, applied);
      !done.ok()) {
    return done;
  }
  if (!replaced || (pace.stop != nullptr && pace.stop->load(std::memory_order_relaxed))) return Status::Ok();
  if (!present) return gone();
  return go_on_with_next_log(follower, pace, applied);
}

// Starts from the log at the follower's path: from the store's content when
// the log continues it, else from the snapshot the log names, loaded again.
// `loaded` is the identity of the snapshot file the content is, or unknown;
// `unchanged` whether the content is still what was loaded.
Status attach(LogFollower& follower, const SnapshotIdentity& loaded, bool unchanged, size_t& applied) {
  // A log of the first version names no snapshot (logs did not name them
  // then): it is taken to continue the snapshot the caller loaded. A later
  // log names none only when its store's content was in no file as it began
  // (changed since its snapshot, or never saved): no snapshot holds what its
  // records apply to, and it is followed from the writer's next checkpoint.
  auto continues = [&follower, &loaded, unchanged](const LogHeader& header) {
    const bool named = header.snapshot.known() && header.snapshot == loaded;
    // The graph is the writer's only where the log names the snapshot loaded.
    follower.graph_in_step = named;
    return unchanged && (named || header.version == FIRST_LOG_VERSION);
  };
  return take_log_at_path(follower, continues, "", CALLER_PACE, applied);
}

void poll_loop(LogFollower& follower, Poller& poller, std::chrono::nanoseconds poll, PollingPriority priority) {
  ApplyPace pace = CALLER_PACE;
  if (priority == PollingPriority::Low) pace = ApplyPace{POLLING_STEP_POINTS, Linking::CallingThread, nullptr, true};
  pace.stop = &poller.stop;
  std::unique_lock lock(poller.mutex);
  for (;;) {
    poller.wake.wait_for(lock, poll, [&] { return poller.stopping; });
    if (poller.stopping) return;
    lock.unlock();
    {
      std::lock_guard catching_up(follower.catching_up);
      size_t applied;
      // A failure leaves the state as it was; the next round tries again, and
      // catch_up reports it to a caller who asks. So does an exception (no
      // memory for a record read whole), which would end the process here.
      try {
        (void)catch_up_held(follower, pace, applied);
      } catch (...) {
      }
    }
    lock.lock();
  }
}

}  // namespace

LogFollower::LogFollower(Store& store, std::string log_path, std::string snapshot_path)
    : store(store),
      owner_process(::getpid()),
      given_log_path(log_path),
      log_path(path_from_working_directory(log_path)),
      snapshot_path(path_from_working_directory(snapshot_path)) {}

LogFollower::~LogFollower() { stop_following(*this); }

void stop_following(LogFollower& follower) {
  if (follower.owner_process != ::getpid()) {
    // A forked child, whose one thread is this: the polling thread is not
    // here, and the locks it may have held when the process forked stay
    // held. None is taken; the polling state is left alone.
    if (follower.poller) (void)follower.poller.release();  // leaked on purpose
    follower.stopped = true;
    follower.store.followed_log.clear();
    return;
  }
  Poller* poller = follower.poller.get();
  if (poller != nullptr && poller->thread.joinable()) {
    {
      std::lock_guard lock(poller->mutex);
      poller->stopping = true;
    }
    poller->stop.store(true, std::memory_order_relaxed);
    poller->wake.notify_one();
    poller->thread.join();
  }
  // Once no catch-up is under way: the store follows nothing from here on.
  std::lock_guard catching_up(follower.catching_up);
  if (follower.stopped) return;
  follower.stopped = true;
  const ChangesHeld held = hold_changes(follower.store);
  follower.store.followed_log.clear();
}

Status start_following(Store& store, const std::string& path, std::chrono::nanoseconds poll,
                       PollingPriority priority, std::unique_ptr<LogFollower>& follower) {
  if (Status checked = check_path(path); !checked.ok()) return checked.prefixed(FOLLOW_FAILED);
  std::unique_ptr<LogFollower> started;
  SnapshotIdentity loaded;
  bool unchanged;
  {
    const ChangesHeld held = hold_changes(store);
    if (current_log(held) != nullptr) {
      return Status::InvalidArgument("this store writes a log of its own and cannot follow one; close_log() first");
    }
    if (!store.followed_log.empty()) {
      return Status::InvalidArgument("this store follows the log " + store.followed_log + " already");
    }
    if (!store.origin) {
      return Status::InvalidArgument("a follower starts from the writer's snapshot: load it before following its log");
    }
    unchanged = store.origin->changes_made == store.changes_made;
    loaded = content_identity(held);
    started = std::make_unique<LogFollower>(store, path, store.origin->path);
    store.followed_log = path;
  }
  size_t applied = 0;
  {
    std::lock_guard catching_up(started->catching_up);
    if (Status attached = attach(*started, loaded, unchanged, applied); !attached.ok()) {
      return attached.prefixed(FOLLOW_FAILED);
    }
  }
  if (poll.count() > 0) {
    // The pool is built here, if it was not yet: threads started by the
    // polling thread would inherit its low priority.
    (void)process_worker_pool();
    started->poller = std::make_unique<Poller>();
    started->poller->thread = start_quiet_thread(
        [followed = started.get(), poller = started->poller.get(), poll, priority] {
          poll_loop(*followed, *poller, poll, priority);
        });
  }
  follower = std::move(started);
  return Status::Ok();
}

Status catch_up(LogFollower& follower, size_t& applied) {
  applied = 0;
  if (follower.owner_process != ::getpid()) {
    return Status::InvalidArgument("this store's follower was started by the process this one was forked "
                                   "from: stop_following(), then follow_log() here");
  }
  std::lock_guard catching_up(follower.catching_up);
  if (follower.stopped) return Status::Ok();  // stop_following came first
  return catch_up_held(follower, CALLER_PACE, applied).prefixed(FOLLOW_FAILED);
}

}  // namespace tarnwick
