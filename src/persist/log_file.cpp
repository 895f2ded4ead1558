// The file of a write-ahead log: writing, syncing and reading it, opening it
// locked against other stores, and telling whether a file is a log that some
// store holds open.
#include "persist/log_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "persist/log_record.h"

namespace tarnwick {

Status pwrite_all(int fd, std::string_view bytes, uint64_t offset) {
  while (!bytes.empty()) {
    ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    bytes.remove_prefix(static_cast<size_t>(written));
    offset += static_cast<uint64_t>(written);
  }
  return Status::Ok();
}

Status data_sync(int fd) {
  while (::fdatasync(fd) != 0) {
    if (errno != EINTR) return os_error(errno);
  }
  return Status::Ok();
}

Status read_all(int fd, size_t size, std::string& out) {
  out.resize(size);
  size_t done = 0;
  while (done < size) {
    ssize_t got = ::pread(fd, out.data() + done, size - done, static_cast<off_t>(done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (got == 0) break;  // shorter than its size said: a writer we do not know of
    done += static_cast<size_t>(got);
  }
  out.resize(done);
  return Status::Ok();
}

Status check_still_named(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return os_error(errno);
  if (info.st_nlink != 0) return Status::Ok();
  return Status::IOError("the file was removed from its directory, so no recovery would read the change "
                         "(save() starts the log afresh where its directory remains, or close_log())");
}

bool same_inode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

namespace {

// Opens (creating when missing, permissions 0600) the regular file a log
// lives in, locked against other stores, once.
Status open_log_file_once(const std::string& path, FileDescriptor& file) {
  struct stat info;
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    return Status::IOError(S_ISDIR(info.st_mode) ? os_error_text(EISDIR)
                                                 : "not a regular file: a log cannot be a pipe, socket or device");
  }
  // O_NONBLOCK: a pipe put in its place meanwhile is not waited on, only refused.
  file.fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (file.fd < 0) return os_error(errno);
  if (::fstat(file.fd, &info) != 0) return os_error(errno);
  if (!S_ISREG(info.st_mode)) {
    return Status::IOError("not a regular file: a log cannot be a pipe, socket or device");
  }
  if (::flock(file.fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    return Status::IOError("another store has this log open (" + os_error_text(EWOULDBLOCK) + ")");
  }
  // A file system without flock leaves it unlocked.
  return make_blocking(file.fd);
}

// Times a log file found replaced under its path as it was locked is opened
// again before giving up.
constexpr int LOG_OPEN_ATTEMPTS = 16;

}  // namespace

Status open_log_file(const std::string& path, FileDescriptor& file) {
  for (int attempt = 0; attempt < LOG_OPEN_ATTEMPTS; ++attempt) {
    FileDescriptor opened;
    if (Status status = open_log_file_once(path, opened); !status.ok()) return status;
    struct stat locked;
    struct stat named;
    if (::fstat(opened.fd, &locked) != 0) return os_error(errno);
    if (::stat(path.c_str(), &named) == 0 && named.st_dev == locked.st_dev && named.st_ino == locked.st_ino) {
      file.fd = std::exchange(opened.fd, -1);
      return Status::Ok();
    }
  }
  return Status::IOError("the file at the path was replaced each time it was opened: another store "
                         "keeps starting this log afresh");
}

// This store's own log is found by takes_log_place first. A checkpoint renames its fresh log, locked already, over the old one, and
// lets the old one go after: a file opened before the rename and looked at
// after it reads as free. It is looked at again until the path still names
// the file found free.
bool is_log_held_open(const FileTarget& target) {
  if (!target.exists || !target.regular) return false;
  for (int attempt = 0; attempt < LOG_OPEN_ATTEMPTS; ++attempt) {
    FileDescriptor file;
    file.fd = ::open(target.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (file.fd < 0) return false;
    char magic[sizeof LOG_MAGIC];
    if (::pread(file.fd, magic, sizeof magic, 0) != static_cast<ssize_t>(sizeof magic) ||
        std::memcmp(magic, LOG_MAGIC, sizeof magic) != 0) {
      return false;
    }
    if (::flock(file.fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) return true;
    struct stat looked_at;
    struct stat named;
    if (::fstat(file.fd, &looked_at) != 0 || ::stat(target.path.c_str(), &named) != 0 ||
        same_inode(looked_at, named)) {
      return false;
    }
  }
  return true;  // replaced each time it was looked at: a log's store checkpointing without pause
}

}  // namespace tarnwick
