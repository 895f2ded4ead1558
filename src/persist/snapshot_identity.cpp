// Snapshot identities: CRC-32C over a file read in steps, and a store's origin.
#include "persist/snapshot_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>

#include "persist/file_replace.h"
#include "util/crc32c.h"

namespace tarnwick {

namespace {

constexpr size_t IDENTIFY_STEP = size_t{1} << 20;

// The byte whose read lock marks a snapshot continued by an open log.
constexpr off_t CONTINUED_LOCK_BYTE = off_t{1} << 62;

// Times continued_by_another_log looks at a file the path no longer names.
constexpr int CONTINUED_CHECK_ATTEMPTS = 16;

bool lock_continued(int fd, short type, int command) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = CONTINUED_LOCK_BYTE;
  lock.l_len = 1;
  return ::fcntl(fd, command, &lock) == 0 && (command != F_OFD_GETLK || lock.l_type != F_UNLCK);
}

bool stat_file(const std::string& path, struct stat& info) {
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

int64_t modified_ns(const struct stat& info) {
  return static_cast<int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
}

bool same_file(const SnapshotOrigin& origin, const struct stat& info) {
  return origin.device == static_cast<uint64_t>(info.st_dev) &&
         origin.inode == static_cast<uint64_t>(info.st_ino) &&
         origin.size == static_cast<uint64_t>(info.st_size) && origin.modified_ns == modified_ns(info);
}


// The identity of the regular file open at `fd`, read from its start.
Status identify_open_file(int fd, SnapshotIdentity& identity) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return os_error(errno);
  if (!S_ISREG(info.st_mode)) return Status::IOError("not a regular file");
  auto step = std::make_unique<char[]>(IDENTIFY_STEP);
  uint32_t crc = 0;
  uint64_t length = 0;
  for (;;) {
    ssize_t got = ::pread(fd, step.get(), IDENTIFY_STEP, static_cast<off_t>(length));
    if (got < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (got == 0) break;
    crc = crc32c_extend(crc, step.get(), static_cast<size_t>(got));
    length += static_cast<uint64_t>(got);
  }
  identity = SnapshotIdentity{length, crc};
  return Status::Ok();
}

}  // namespace

Status identify_snapshot_file(const std::string& path, SnapshotIdentity& identity) {
  if (Status checked = check_path(path); !checked.ok()) return checked;
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (file.fd < 0) return os_error(errno);
  return identify_open_file(file.fd, identity);
}

void set_snapshot_origin(const ChangesHeld& held, const std::string& path, const SnapshotIdentity& identity,
                         uint64_t changes_before, const FileStamp* file) {
  Store& store = held.store;
  store.origin.reset();
  if (store.changes_made != changes_before) return;
  FileStamp stamp;
  if (file != nullptr) {
    stamp = *file;
  } else if (struct stat info; stat_file(path, info)) {
    stamp = FileStamp{true, static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
                      static_cast<uint64_t>(info.st_size), modified_ns(info)};
  }
  if (!stamp.known) return;
  if (identity.known() && identity.length != stamp.size) return;
  store.origin = SnapshotOrigin{path_from_working_directory(path),
                                stamp.device,
                                stamp.inode,
                                stamp.size,
                                stamp.modified_ns,
                                identity,
                                store.changes_made};
}

SnapshotIdentity content_identity(const ChangesHeld& held) {
  std::optional<SnapshotOrigin>& origin = held.store.origin;
  struct stat info;
  if (!origin || origin->changes_made != held.store.changes_made || !stat_file(origin->path, info) ||
      !same_file(*origin, info)) {
    return SnapshotIdentity();
  }
  if (!origin->identity.known()) {
    // Read from the file found to be the origin's, not from whatever the path
    // names by the time it is opened.
    FileDescriptor file(::open(origin->path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    SnapshotIdentity identity;
    if (file.fd < 0 || ::fstat(file.fd, &info) != 0 || !same_file(*origin, info) ||
        !identify_open_file(file.fd, identity).ok() || identity.length != origin->size) {
      return SnapshotIdentity();
    }
    origin->identity = identity;
  }
  return origin->identity;
}

void hold_origin_snapshot(const ChangesHeld& held, FileDescriptor& held_file) {
  // The file held so far is let go only once the new one is locked: where
  // both are the same file, it is not free for a moment.
  FileDescriptor before(std::exchange(held_file.fd, -1));
  const std::optional<SnapshotOrigin>& origin = held.store.origin;
  if (!content_identity(held).known()) return;
  FileDescriptor file(::open(origin->path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat info;
  if (file.fd < 0 || ::fstat(file.fd, &info) != 0 || !same_file(*origin, info)) return;
  if (!lock_continued(file.fd, F_RDLCK, F_OFD_SETLK)) return;
  held_file.fd = std::exchange(file.fd, -1);
}

void hold_new_snapshot(const std::string& path, int fd, FileDescriptor& held_file) {
  if (held_file.fd >= 0) (void)held_file.close();
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat opened;
  struct stat written;
  if (file.fd < 0 || ::fstat(file.fd, &opened) != 0 || ::fstat(fd, &written) != 0 ||
      opened.st_dev != written.st_dev || opened.st_ino != written.st_ino) {
    return;
  }
  if (!lock_continued(file.fd, F_RDLCK, F_OFD_SETLK)) return;
  held_file.fd = std::exchange(file.fd, -1);
}

bool continued_by_another_log(const std::string& path, FileDescriptor& own) {
  // A checkpoint locks its new snapshot before renaming it over the one its
  // log held, and lets that one go after: a file opened before the rename
  // and looked at after it no longer tells. It is looked at again until the
  // path still names the file found free.
  for (int attempt = 0; attempt < CONTINUED_CHECK_ATTEMPTS; ++attempt) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat there;
    if (file.fd < 0 || ::fstat(file.fd, &there) != 0 || !S_ISREG(there.st_mode)) return false;
    struct stat mine;
    const bool own_file = own.fd >= 0 && ::fstat(own.fd, &mine) == 0 && mine.st_dev == there.st_dev &&
                          mine.st_ino == there.st_ino;
    // Asked through the store's own descriptor when it holds this file: its
    // own lock does not conflict with itself, and stays held meanwhile (let
    // go for a moment, another store's save could take the file's place).
    if (lock_continued(own_file ? own.fd : file.fd, F_WRLCK, F_OFD_GETLK)) return true;
    struct stat now;
    if (::stat(path.c_str(), &now) != 0 || (now.st_dev == there.st_dev && now.st_ino == there.st_ino)) {
      return false;
    }
  }
  return true;  // replaced each time it was looked at: a log's store checkpointing without pause
}

}  // namespace tarnwick
