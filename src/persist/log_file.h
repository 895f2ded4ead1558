// The file of a write-ahead log: writing, syncing and reading it, opening it
// locked against other stores, and telling whether a file is a log that some
// store holds open. Failures are IOError statuses with the system's text.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "persist/file_replace.h"
#include "util/status.h"

namespace tarnwick {

// Writes all of `bytes` at `offset`, retrying interrupted and partial writes.
Status pwrite_all(int fd, std::string_view bytes, uint64_t offset);

// fdatasync, retried when interrupted.
Status data_sync(int fd);

// Reads the first `size` bytes of a file into `out` (fewer where it is shorter).
Status read_all(int fd, size_t size, std::string& out);

// IOError when the open log file has no name left (removed, or replaced by
// another file, with its directory or alone): what is appended to it would be
// lost at the next crash, whatever was synced.
Status check_still_named(int fd);

// Whether two stats are of one file (device and inode).
bool same_inode(const struct stat& a, const struct stat& b);

// Opens (creating when missing, permissions 0600) the regular file a log lives
// in, locked against other stores, until the file locked is still the one the
// path names: a writer's checkpoint replaces its log whole, and the old file,
// opened just before the replacement and locked just after the writer let it
// go, is no longer the log (what is written to it would be lost).
Status open_log_file(const std::string& path, FileDescriptor& file);

// Whether the file at `target` is a log that a store holds open (its lock is
// taken): a snapshot put in its place would leave that store writing
// acknowledged records into a file no name reaches, and the records before
// them would be gone.
bool is_log_held_open(const FileTarget& target);

}  // namespace tarnwick
