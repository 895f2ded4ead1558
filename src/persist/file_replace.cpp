#include "persist/file_replace.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "util/random.h"

namespace tarnwick {

namespace {

// Symbolic links followed before giving up with ELOOP, as the kernel does.
constexpr int MAX_SYMLINK_HOPS = 40;

// Single write calls stay below the kernel's per-call limit.
constexpr size_t MAX_WRITE_CHUNK = size_t{1} << 30;

// Names tried for a temporary file before giving up: a name can be taken
// (EEXIST), or lost to a sweep between its creation and its lock.
constexpr int TEMPORARY_NAME_ATTEMPTS = 8;

// strerror_r comes in a GNU flavour (returns the text) and an XSI one (fills the buffer).
[[maybe_unused]] const char* chosen_text(int, const char* buffer) { return buffer; }
[[maybe_unused]] const char* chosen_text(const char* text, const char*) { return text; }

// Owns one open directory stream.
struct DirectoryStream {
  DIR* stream = nullptr;
  explicit DirectoryStream(DIR* stream) : stream(stream) {}
  DirectoryStream(const DirectoryStream&) = delete;
  DirectoryStream& operator=(const DirectoryStream&) = delete;
  ~DirectoryStream() {
    if (stream != nullptr) ::closedir(stream);
  }
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

// Reads the content of a symbolic link.
Status read_link(const std::string& path, size_t size_hint, std::string& content) {
  std::string buffer(std::max<size_t>(size_hint, 64) + 1, '\0');
  while (true) {
    ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) return os_error(errno);
    if (static_cast<size_t>(length) < buffer.size()) {
      content.assign(buffer.data(), static_cast<size_t>(length));
      return Status::Ok();
    }
    buffer.resize(buffer.size() * 2);  // possibly cut short: try again with more room
  }
}

// ".NAME.tmp-": what every temporary file of a target's writes starts with, the
// name cut so that the whole stays within NAME_MAX whatever the target's name.
std::string temporary_stem(const std::string& target_name) {
  std::string stem(1, '.');
  return stem.append(target_name, 0, 200).append(".tmp-");
}

// This kernel's boot id folded to 32 bits, never 0; 0 when it cannot be read.
// Processes of one kernel share it, containers included, and so see each
// other's locks and (within one pid namespace) processes.
uint32_t host_tag() {
  static const uint32_t tag = [] {
    FileDescriptor file(::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC));
    char text[64];
    ssize_t length = file.fd < 0 ? -1 : ::read(file.fd, text, sizeof text);
    if (length <= 0) return uint32_t{0};
    uint32_t hash = 2166136261u;  // FNV-1a
    for (ssize_t i = 0; i < length; ++i) {
      hash = (hash ^ static_cast<uint8_t>(text[i])) * 16777619u;
    }
    return hash == 0 ? uint32_t{1} : hash;
  }();
  return tag;
}

// Parses "PID-TTTTTTTTRRRRRRRR", the part of a temporary file's name after its
// stem, into the writer's process id and host tag.
bool parse_temporary_suffix(std::string_view suffix, uint64_t& pid, uint32_t& tag) {
  size_t dash = suffix.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash > 10) return false;
  if (suffix.size() - dash - 1 != 16) return false;
  std::string_view digits = suffix.substr(0, dash), hex = suffix.substr(dash + 1);
  if (digits[0] == '0') return false;
  pid = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    pid = pid * 10 + static_cast<uint64_t>(c - '0');
  }
  uint64_t value = 0;
  for (char c : hex) {
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return false;
    value = value << 4 | static_cast<uint64_t>(digit);
  }
  tag = static_cast<uint32_t>(value >> 32);
  return pid > 0 && pid <= INT32_MAX;
}

// Whether a process with this id runs in this pid namespace (one the caller
// may not signal counts as running).
bool process_runs(uint64_t pid) {
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

}  // namespace

Status sync_file(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return os_error(errno);
  }
  return Status::Ok();
}

Status sync_directory(const std::string& directory) {
  FileDescriptor handle(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (handle.fd < 0) return os_error(errno);
  while (::fsync(handle.fd) != 0) {
    if (errno == EINTR) continue;
    if (errno == EINVAL || errno == ENOTSUP) break;
    return os_error(errno);
  }
  return Status::Ok();
}

namespace {

// Whether `name` (relative to `directory_fd`) still names the file open as `fd`.
bool still_named(int directory_fd, const char* name, int fd) {
  struct stat open_file, named;
  return ::fstat(fd, &open_file) == 0 &&
         ::fstatat(directory_fd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

// Creates the temporary file under a fresh name and locks it. Between the
// creation and the lock another writer's sweep may take the unlocked file for
// a dead writer's: holding its lock first, or having removed the name already.
// Either way the file is given up to the sweep and a new name tried.
Status create_locked_temporary(const FileTarget& target, Replacement& replacement) {
  std::string stem = temporary_stem(target.name).append(std::to_string(::getpid())).append("-");
  for (int attempt = 0;; ++attempt) {
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%08x%08x", static_cast<unsigned>(host_tag()),
                  static_cast<unsigned>(random_seed()));
    std::string path = target.directory + "/" + stem + suffix;
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
    if (file.fd < 0) {
      if (errno == EEXIST && attempt + 1 < TEMPORARY_NAME_ATTEMPTS) continue;
      return os_error(errno);
    }
    // A file system without flock leaves the file unlocked, and sweeps there
    // keep every temporary file (remove_stale_temporaries).
    bool locked = ::flock(file.fd, LOCK_EX | LOCK_NB) == 0;
    bool lost = !locked && errno == EWOULDBLOCK;
    if (locked) lost = !still_named(AT_FDCWD, path.c_str(), file.fd);
    if (lost) {
      if (attempt + 1 < TEMPORARY_NAME_ATTEMPTS) continue;
      return os_error(EEXIST);
    }
    replacement.temporary_path = std::move(path);
    if (locked) {
      replacement.lock.fd = ::fcntl(file.fd, F_DUPFD_CLOEXEC, 0);
      if (replacement.lock.fd < 0) return os_error(errno);
    }
    replacement.file.fd = file.fd;
    file.fd = -1;
    return Status::Ok();
  }
}

// Gives the temporary file the target's owner, group and permission bits,
// where the process may set them.
Status copy_owner_and_mode(const FileTarget& target, int fd) {
  // The owner first: changing it clears the set-user and set-group bits. Only a
  // privileged process may give a file away; any owner may pick one of its groups.
  if (::fchown(fd, target.owner, target.group) != 0) {
    if (errno != EPERM && errno != EINVAL) return os_error(errno);
    if (::fchown(fd, static_cast<uid_t>(-1), target.group) != 0 && errno != EPERM && errno != EINVAL) {
      return os_error(errno);
    }
  }
  // Set-user and set-group bits are kept only with the owner and group they
  // were given for.
  struct stat made;
  if (::fstat(fd, &made) != 0) return os_error(errno);
  mode_t permissions = target.permissions;
  if (made.st_uid != target.owner) permissions &= ~mode_t{S_ISUID};
  if (made.st_gid != target.group) permissions &= ~mode_t{S_ISGID};
  if (::fchmod(fd, permissions) != 0) return os_error(errno);
  return Status::Ok();
}

}  // namespace

FileDescriptor::~FileDescriptor() {
  if (fd >= 0) ::close(fd);
}

Status FileDescriptor::close() {
  int result = ::close(fd);
  fd = -1;
  return result == 0 ? Status::Ok() : os_error(errno);
}

std::string os_error_text(int code) {
  char buffer[256] = "";
  const char* description = chosen_text(strerror_r(code, buffer, sizeof buffer), buffer);
  return std::string(description) + " (os error " + std::to_string(code) + ")";
}

Status os_error(int code) { return Status::IOError(os_error_text(code)); }

Status check_path(const std::string& path) {
  if (path.find('\0') == std::string::npos) return Status::Ok();
  return Status::IOError("file name contained an unexpected NUL byte");
}

std::string path_from_working_directory(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  std::string directory(PATH_MAX, '\0');
  if (::getcwd(directory.data(), directory.size()) == nullptr) return path;
  directory.resize(std::strlen(directory.c_str()));
  if (directory.empty() || directory.front() != '/') return path;  // "(unreachable)/..."
  if (directory.back() != '/') directory.push_back('/');
  return directory + path;
}

FileStamp stamp_open_file(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return FileStamp{};
  return FileStamp{true, static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
                   static_cast<uint64_t>(info.st_size),
                   static_cast<int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

Status write_all(int fd, std::string_view bytes) {
  const char* next = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = ::write(fd, next, std::min(left, MAX_WRITE_CHUNK));
    if (written < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    next += written;
    left -= static_cast<size_t>(written);
  }
  return Status::Ok();
}

Status make_blocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return os_error(errno);
  return Status::Ok();
}

Status resolve_target(const std::string& path, FileTarget& target) {
  if (path.empty()) return os_error(ENOENT);
  std::string current = path;
  for (int hop = 0;; ++hop) {
    struct stat info;
    if (::lstat(current.c_str(), &info) != 0) {
      if (errno != ENOENT) return os_error(errno);
      break;  // a new file; its directory is checked when the temporary file is made
    }
    if (!S_ISLNK(info.st_mode)) {
      if (S_ISDIR(info.st_mode)) return os_error(EISDIR);
      target.exists = true;
      target.regular = S_ISREG(info.st_mode);
      target.permissions = info.st_mode & 07777;
      target.owner = info.st_uid;
      target.group = info.st_gid;
      break;
    }
    if (hop == MAX_SYMLINK_HOPS) return os_error(ELOOP);
    std::string link;
    if (Status read = read_link(current, static_cast<size_t>(info.st_size), link); !read.ok()) {
      return read;
    }
    current = (link.empty() || link[0] == '/') ? link : directory_of(current) + "/" + link;
  }
  target.path = current;
  target.directory = directory_of(current);
  target.name = name_of(current);
  if (target.name.empty()) return os_error(EISDIR);  // "dir/": creating it as a file would fail so
  // The file is replaced, not written, so ask the system whether writing it
  // would be allowed (read-only file, read-only file system, running program).
  // Opening it to find out would tell file watchers it had been written.
  if (target.exists && target.regular && ::faccessat(AT_FDCWD, current.c_str(), W_OK, AT_EACCESS) != 0) {
    return os_error(errno);
  }
  return Status::Ok();
}

Status open_in_place(const FileTarget& target, FileDescriptor& file) {
  int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  file.fd = ::open(target.path.c_str(), flags, 0666);
  if (file.fd < 0) return os_error(errno);
  return make_blocking(file.fd);
}

Replacement::~Replacement() {
  if (!temporary_path.empty() && !renamed) ::unlink(temporary_path.c_str());
}

Status begin_replacement(const FileTarget& target, Replacement& replacement) {
  remove_stale_temporaries(target.directory, target.name);
  replacement.target_path = target.path;
  replacement.directory = target.directory;
  if (Status created = create_locked_temporary(target, replacement); !created.ok()) return created;
  if (!target.exists) return Status::Ok();
  return copy_owner_and_mode(target, replacement.file.fd);
}

Status finish_replacement(Replacement& replacement) {
  if (Status synced = sync_file(replacement.file.fd); !synced.ok()) return synced;
  if (Status closed = replacement.file.close(); !closed.ok()) return closed;
  if (::rename(replacement.temporary_path.c_str(), replacement.target_path.c_str()) != 0) {
    return os_error(errno);
  }
  replacement.renamed = true;
  // The target now holds the new content: a failure from here on is no failure
  // of the replacement, only doubt about whether the rename outlives a crash.
  if (Status synced = sync_directory(replacement.directory); !synced.ok()) {
    return Status::Warning(synced.text());
  }
  return Status::Ok();
}

void remove_stale_temporaries(const std::string& directory, const std::string& target_name) {
  DirectoryStream listing(::opendir(directory.c_str()));
  if (listing.stream == nullptr) return;
  const std::string stem = temporary_stem(target_name);
  const int directory_fd = ::dirfd(listing.stream);
  const uint32_t own_tag = host_tag();
  const uint64_t own_pid = static_cast<uint64_t>(::getpid());
  while (const dirent* entry = ::readdir(listing.stream)) {
    std::string_view name(entry->d_name);
    uint64_t pid;
    uint32_t tag;
    if (name.size() <= stem.size() || name.substr(0, stem.size()) != stem ||
        !parse_temporary_suffix(name.substr(stem.size()), pid, tag)) {
      continue;
    }
    const bool local = own_tag != 0 && tag == own_tag;
    // A running process other than the caller may be writing it; the caller's
    // own id may have been inherited from a writer that died (a restarted
    // container gets the same small ids), and its own live writes hold the lock.
    if (local && pid != own_pid && process_runs(pid)) continue;
    FileDescriptor file(::openat(directory_fd, entry->d_name,
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.fd < 0) continue;
    struct stat info;
    if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
      continue;
    }
    // Without a lock that this host shares, only the file's age tells a writer
    // that died from one that is slow.
    if (!local && std::time(nullptr) - info.st_mtime < STALE_FOREIGN_SECONDS) continue;
    if (::flock(file.fd, LOCK_EX | LOCK_NB) != 0) continue;  // a write in progress, or no locks here
    // Remove the name only while it still names the file that was checked.
    if (!still_named(directory_fd, entry->d_name, file.fd)) continue;
    ::unlinkat(directory_fd, entry->d_name, 0);
  }
}

}  // namespace tarnwick
