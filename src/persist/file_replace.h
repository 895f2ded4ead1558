// Replacing a file whole, so that a crash at any moment leaves either its old
// content or its new one: the target found through symbolic links, a locked
// temporary file beside it with the target's owner and mode, the sweep of
// temporaries that killed writers left, and the syncs and the rename that put
// the new content in place. Also the few file operations the snapshot streams
// share. Failures are IOError statuses whose text is the system's
// ("No such file or directory (os error 2)"); the caller puts the stage in front.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "util/status.h"

namespace tarnwick {

// Owns one open file descriptor.
struct FileDescriptor {
  int fd = -1;
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();
  // Closes now; the error of close, if any, is the last word on the file's writes.
  Status close();
};

// "No such file or directory (os error 2)"
std::string os_error_text(int code);
// IOError with os_error_text(code).
Status os_error(int code);

// IOError when a path cannot name a file: it holds a NUL byte.
Status check_path(const std::string& path);

// `path` as seen from the working directory now: a relative path is put
// under it, so that the file it names stays the same after the process
// changes its working directory (unchanged when that cannot be told).
std::string path_from_working_directory(const std::string& path);

// What tells one version of a file from another: the file, its size and the
// time of its last change.
struct FileStamp {
  bool known = false;
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modified_ns = 0;
};

// The stamp of the regular file open at `fd`; unknown for anything else.
FileStamp stamp_open_file(int fd);

// Writes all of `bytes`, retrying interrupted and partial writes.
Status write_all(int fd, std::string_view bytes);

// Syncs a file's content and metadata to stable storage, retrying interruptions.
Status sync_file(int fd);

// Makes a creation or rename in `directory` durable; file systems that cannot
// sync a directory are not an error.
Status sync_directory(const std::string& directory);

// Clears O_NONBLOCK, which an open sets only so as not to wait for the other
// end of a pipe.
Status make_blocking(int fd);

// The file a write goes to, symbolic links followed.
struct FileTarget {
  std::string path;        // the file to replace, symbolic links followed
  std::string directory;   // the directory holding it, where the temporary file goes
  std::string name;        // its last path component
  bool exists = false;
  bool regular = true;     // false: a device, pipe or socket, which is written in place
  mode_t permissions = 0;  // of an existing file
  uid_t owner = 0;         // of an existing file
  gid_t group = 0;         // of an existing file
};

// Follows symbolic links from `path` (as the kernel does, 40 at most) to the
// file a write must replace, and checks that it could be written as it is.
// Fails with what creating the file in place would have met.
Status resolve_target(const std::string& path, FileTarget& target);

// Opens a target that is no regular file (a device, pipe or socket) for writing
// in place, without waiting for a reader: a pipe without one fails at once (ENXIO).
Status open_in_place(const FileTarget& target, FileDescriptor& file);

// A replacement under way: the new content is written to `file`, a temporary
// file beside the target, which is removed when the replacement is dropped
// unless it was renamed into place. `lock` is a second descriptor of the same
// open file: it keeps the file's flock held from creation until the temporary
// file is renamed or removed, also after `file` is closed to collect its write
// errors.
struct Replacement {
  std::string target_path;
  std::string directory;
  std::string temporary_path;
  FileDescriptor file;
  FileDescriptor lock;
  bool renamed = false;
  Replacement() = default;
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement();  // the lock is released after the unlink, when the members are dropped
};

// Removes the stale temporaries of a regular target's earlier writes
// (remove_stale_temporaries), then creates the temporary file: locked against
// removal by other writers' sweeps, with the target's owner, group and
// permission bits where the process may set them (a new file's defaults
// otherwise).
Status begin_replacement(const FileTarget& target, Replacement& replacement);

// Syncs and closes the temporary file, renames it over the target and syncs the
// directory. IOError when the new content could not be put in place (the target
// is left as it was); Warning with the system's text when it is in place but
// the directory sync that makes the rename durable failed.
Status finish_replacement(Replacement& replacement);

// Temporary files are named ".NAME.tmp-PID-TTTTTTTTRRRRRRRR": the target's
// name (cut to 200 bytes), the writer's process id, the writer's host tag (from
// the kernel's boot id) and 32 random bits, in hexadecimal. Every writer holds
// an exclusive flock on its temporary file from its creation until the rename,
// and after taking the lock checks that the name still leads to its file,
// starting over under a new name if it does not: so on this kernel a temporary
// file that no one holds locked has no live writer. A file of that form for
// the same target is stale, and removed, when it is a regular file of the
// calling user that no one holds locked, and either
// - its host tag is this kernel's (so the lock is authoritative) and its
//   writer's process is not running, or is the caller's own (its id inherited
//   from a writer that died, as a restarted container has it; the caller's own
//   live writes hold their locks): removed at once; or
// - it comes from another host or from an unknown one, where locks and process
//   ids may not be shared, and it has not been modified for STALE_FOREIGN_SECONDS.
// A file system that cannot lock files keeps every temporary file: no lock
// tells a dead writer from a live one there. Every failure is ignored: the
// removal is housekeeping, not part of the write.
inline constexpr int STALE_FOREIGN_SECONDS = 15 * 60;
void remove_stale_temporaries(const std::string& directory, const std::string& target_name);

}  // namespace tarnwick
