#include "persist/snapshot_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "util/random.h"

namespace tarnwick {

namespace {

// A path with a NUL byte is refused before the system sees it.
constexpr char NUL_IN_PATH[] = "file name contained an unexpected NUL byte";

// Symbolic links followed before giving up with ELOOP, as the kernel does.
constexpr int MAX_SYMLINK_HOPS = 40;

// Single read and write calls stay below the kernel's per-call limit.
constexpr size_t MAX_IO_CHUNK = size_t{1} << 30;

// strerror_r comes in a GNU flavour (returns the text) and an XSI one (fills the buffer).
[[maybe_unused]] const char* chosen_text(int, const char* buffer) { return buffer; }
[[maybe_unused]] const char* chosen_text(const char* text, const char*) { return text; }

// "No such file or directory (os error 2)"
std::string os_error_text(int code) {
  char buffer[256] = "";
  const char* description = chosen_text(strerror_r(code, buffer, sizeof buffer), buffer);
  return std::string(description) + " (os error " + std::to_string(code) + ")";
}

std::string failure(const char* prefix, int code) { return prefix + os_error_text(code); }

// Owns one open file descriptor.
struct FileDescriptor {
  int fd = -1;
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
  // Closes now and returns 0 or the errno of close.
  int close() {
    int result = ::close(fd);
    fd = -1;
    return result == 0 ? 0 : errno;
  }
};

// A temporary file that is removed when dropped, unless it was renamed into place.
struct TemporaryFile {
  std::string path;
  FileDescriptor file;
  bool renamed = false;
  ~TemporaryFile() {
    if (!path.empty() && !renamed) ::unlink(path.c_str());
  }
};

// Where a save puts its bytes.
struct SaveTarget {
  std::string path;        // the file to replace, symbolic links followed
  std::string directory;   // the directory holding it, where the temporary file goes
  std::string name;        // its last path component
  bool exists = false;
  bool regular = true;     // false: a device, pipe or socket, which is written in place
  mode_t permissions = 0;  // of an existing file
};

std::string directory_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reads the content of a symbolic link. Returns 0 or an errno.
int read_link(const std::string& path, size_t size_hint, std::string& content) {
  std::string buffer(std::max<size_t>(size_hint, 64) + 1, '\0');
  while (true) {
    ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) return errno;
    if (static_cast<size_t>(length) < buffer.size()) {
      content.assign(buffer.data(), static_cast<size_t>(length));
      return 0;
    }
    buffer.resize(buffer.size() * 2);  // possibly cut short: try again with more room
  }
}

// Follows symbolic links from `path` to the file a save must replace and
// checks that it could be written as it is. Returns 0 or the errno that
// creating the file in place would have met.
int resolve_target(const std::string& path, SaveTarget& target) {
  if (path.empty()) return ENOENT;
  std::string current = path;
  for (int hop = 0;; ++hop) {
    struct stat info;
    if (::lstat(current.c_str(), &info) != 0) {
      if (errno != ENOENT) return errno;
      break;  // a new file; its directory is checked when the temporary file is made
    }
    if (!S_ISLNK(info.st_mode)) {
      if (S_ISDIR(info.st_mode)) return EISDIR;
      target.exists = true;
      target.regular = S_ISREG(info.st_mode);
      target.permissions = info.st_mode & 07777;
      break;
    }
    if (hop == MAX_SYMLINK_HOPS) return ELOOP;
    std::string link;
    if (int error = read_link(current, static_cast<size_t>(info.st_size), link)) return error;
    current = (link.empty() || link[0] == '/') ? link : directory_of(current) + "/" + link;
  }
  target.path = current;
  target.directory = directory_of(current);
  target.name = name_of(current);
  if (target.name.empty()) return EISDIR;  // "dir/": creating it as a file would fail so
  // The file is replaced, not written, so ask the system whether writing it
  // would be allowed (read-only file, read-only file system, running program).
  // Opening it to find out would tell file watchers it had been written.
  if (target.exists && target.regular && ::faccessat(AT_FDCWD, current.c_str(), W_OK, AT_EACCESS) != 0) {
    return errno;
  }
  return 0;
}

// Creates an empty temporary file next to the target, readable and writable
// as a new file would be (or with the target's permission bits). Returns 0 or an errno.
int create_temporary(const SaveTarget& target, TemporaryFile& temporary) {
  // Keep the name within NAME_MAX whatever the target's name.
  std::string stem(1, '.');
  stem.append(target.name, 0, 200).append(".tmp-").append(std::to_string(::getpid())).append("-");
  for (int attempt = 0;; ++attempt) {
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random_seed()));
    std::string path = target.directory + "/" + stem + suffix;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
      if (errno == EEXIST && attempt < 8) continue;
      return errno;
    }
    temporary.path = std::move(path);
    temporary.file.fd = fd;
    break;
  }
  if (target.exists && ::fchmod(temporary.file.fd, target.permissions) != 0) return errno;
  return 0;
}

// Writes all of `bytes`, retrying interrupted and partial writes. Returns 0 or an errno.
int write_all(int fd, std::string_view bytes) {
  const char* next = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = ::write(fd, next, std::min(left, MAX_IO_CHUNK));
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    next += written;
    left -= static_cast<size_t>(written);
  }
  return 0;
}

int sync_file(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Makes a rename in `directory` durable. Returns 0 or an errno; file systems
// that cannot sync a directory are not an error.
int sync_directory(const std::string& directory) {
  FileDescriptor handle(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (handle.fd < 0) return errno;
  int error = sync_file(handle.fd);
  return error == EINVAL || error == ENOTSUP ? 0 : error;
}

// Encodes the store under shared access, segment then index. Returns false
// with the reason when the buffer cannot be allocated.
bool encode_store(const Store& store, ByteBuffer& bytes, std::string& problem) {
  std::shared_lock segment_lock(store.segment);
  std::shared_lock index_lock(store.index);
  try {
    bytes = encode_snapshot(store.points, store.graph);
  } catch (const std::bad_alloc&) {
    problem = "memory allocation failed";
    return false;
  }
  return true;
}

// A device, pipe or socket cannot be replaced by a rename; it is opened and
// written as it is.
std::optional<std::string> save_in_place(const Store& store, const SaveTarget& target) {
  FileDescriptor file(::open(target.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
  if (file.fd < 0) return failure(CREATE_FAILED, errno);
  ByteBuffer bytes;
  std::string problem;
  if (!encode_store(store, bytes, problem)) return ENCODE_FAILED + problem;
  if (int error = write_all(file.fd, bytes.view())) return failure(WRITE_FAILED, error);
  if (int error = file.close()) return failure(WRITE_FAILED, error);
  return std::nullopt;
}

// Reads an open file to its end. Returns 0 or an errno.
int read_all(int fd, ByteBuffer& bytes) {
  // The known size (plus one byte, so the end of file is seen without growing)
  // is allocated at once; files of unknown size grow as data arrives.
  struct stat info;
  size_t expected = 0;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) expected = static_cast<size_t>(info.st_size);
  bytes = ByteBuffer(expected != 0 ? expected + 1 : 8192);
  while (true) {
    if (bytes.size() == bytes.capacity()) bytes.reallocate(bytes.capacity() * 2);
    ssize_t got = ::read(fd, bytes.data() + bytes.size(),
                         std::min(bytes.capacity() - bytes.size(), MAX_IO_CHUNK));
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return 0;
    bytes.set_size(bytes.size() + static_cast<size_t>(got));
  }
}

}  // namespace

std::optional<std::string> save_snapshot(const Store& store, const std::string& path) {
  if (path.find('\0') != std::string::npos) return std::string(CREATE_FAILED) + NUL_IN_PATH;
  SaveTarget target;
  if (int error = resolve_target(path, target)) return failure(CREATE_FAILED, error);
  if (!target.regular) return save_in_place(store, target);

  TemporaryFile temporary;
  if (int error = create_temporary(target, temporary)) return failure(CREATE_FAILED, error);
  ByteBuffer bytes;
  std::string problem;
  if (!encode_store(store, bytes, problem)) return ENCODE_FAILED + problem;
  if (int error = write_all(temporary.file.fd, bytes.view())) return failure(WRITE_FAILED, error);
  bytes.release();  // the copy is no longer needed while the disk catches up
  if (int error = sync_file(temporary.file.fd)) return failure(WRITE_FAILED, error);
  if (int error = temporary.file.close()) return failure(WRITE_FAILED, error);
  if (::rename(temporary.path.c_str(), target.path.c_str()) != 0) {
    return failure(WRITE_FAILED, errno);
  }
  temporary.renamed = true;
  if (int error = sync_directory(target.directory)) return failure(WRITE_FAILED, error);
  return std::nullopt;
}

std::optional<std::string> load_snapshot(Store& store, const std::string& path) {
  if (path.find('\0') != std::string::npos) return std::string(OPEN_FAILED) + NUL_IN_PATH;
  SnapshotState state;
  {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (file.fd < 0) return failure(OPEN_FAILED, errno);
    ByteBuffer bytes;
    if (int error = read_all(file.fd, bytes)) return failure(READ_FAILED, error);
    file.close();  // a read-only descriptor has nothing left to report
    DecodeError error = decode_snapshot(bytes.view(), state);
    if (error != DecodeError::None) return DECODE_FAILED + std::string(decode_error_message(error));
  }  // the file's bytes are dropped before the state is installed
  install_state(store, std::move(state));
  return std::nullopt;
}

void install_state(Store& store, SnapshotState state) {
  {
    std::unique_lock segment_lock(store.segment);
    std::unique_lock index_lock(store.index);
    std::swap(store.points, state.points);
    std::swap(store.graph, state.graph);
  }
  // `state` now holds the old content, dropped here, outside the locks.
}

}  // namespace tarnwick
