#include "persist/snapshot_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <thread>

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

Status failure(const char* prefix, int code) {
  return Status::IOError(prefix + os_error_text(code));
}

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

// A temporary file that is removed when dropped, unless it was renamed into
// place. `lock` is a second descriptor of the same open file: it keeps the
// file's flock held from creation until the temporary file is renamed or
// removed, also after `file` is closed to collect its write errors.
struct TemporaryFile {
  std::string path;
  FileDescriptor file;
  FileDescriptor lock;
  bool renamed = false;
  ~TemporaryFile() {
    if (!path.empty() && !renamed) ::unlink(path.c_str());
  }  // the lock is released after the unlink, when the members are dropped
};

// Where a save puts its bytes.
struct SaveTarget {
  std::string path;        // the file to replace, symbolic links followed
  std::string directory;   // the directory holding it, where the temporary file goes
  std::string name;        // its last path component
  bool exists = false;
  bool regular = true;     // false: a device, pipe or socket, which is written in place
  mode_t permissions = 0;  // of an existing file
  uid_t owner = 0;         // of an existing file
  gid_t group = 0;         // of an existing file
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
      target.owner = info.st_uid;
      target.group = info.st_gid;
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

// ".NAME.tmp-": what every temporary file of a target's saves starts with, the
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

// Creates an empty temporary file next to the target, locked against removal
// by other saves and with the target's owner, group and permission bits where
// the process may set them (a new file's defaults otherwise). Returns 0 or an errno.
int create_temporary(const SaveTarget& target, TemporaryFile& temporary) {
  std::string stem = temporary_stem(target.name).append(std::to_string(::getpid())).append("-");
  for (int attempt = 0;; ++attempt) {
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%08x%08x", static_cast<unsigned>(host_tag()),
                  static_cast<unsigned>(random_seed()));
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
  // A file system without flock leaves the file unlocked; a stale-file sweep
  // then still needs the file to be old (remove_stale_temporaries).
  if (::flock(temporary.file.fd, LOCK_EX | LOCK_NB) == 0) {
    temporary.lock.fd = ::fcntl(temporary.file.fd, F_DUPFD_CLOEXEC, 0);
    if (temporary.lock.fd < 0) return errno;
  }
  if (!target.exists) return 0;
  // The owner first: changing it clears the set-user and set-group bits. Only a
  // privileged process may give a file away; any owner may pick one of its groups.
  if (::fchown(temporary.file.fd, target.owner, target.group) != 0) {
    if (errno != EPERM && errno != EINVAL) return errno;
    if (::fchown(temporary.file.fd, static_cast<uid_t>(-1), target.group) != 0 &&
        errno != EPERM && errno != EINVAL) {
      return errno;
    }
  }
  // Set-user and set-group bits are kept only with the owner and group they
  // were given for.
  struct stat made;
  if (::fstat(temporary.file.fd, &made) != 0) return errno;
  mode_t permissions = target.permissions;
  if (made.st_uid != target.owner) permissions &= ~mode_t{S_ISUID};
  if (made.st_gid != target.group) permissions &= ~mode_t{S_ISGID};
  if (::fchmod(temporary.file.fd, permissions) != 0) return errno;
  return 0;
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

// Stores from this size on are written while they are encoded.
constexpr size_t STREAM_MIN_BYTES = size_t{8} << 20;
// Pieces encoded ahead of the one being written.
constexpr size_t PIECES_AHEAD = 3;

// The pieces of a snapshot encoded in order by a thread of their own, a few
// ahead of the caller, who takes them in order to write them.
class PieceStream {
 public:
  explicit PieceStream(const SnapshotPlan& plan) : plan_(plan), count_(snapshot_pieces(plan)) {
    size_t largest = 0;
    for (size_t piece = 0; piece < count_; ++piece) largest = std::max(largest, piece_bytes(plan, piece));
    for (ByteBuffer& buffer : buffers_) buffer = ByteBuffer(std::max<size_t>(largest, 1));
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
      encoder_ = std::thread([this] { encode_all(); });
    } catch (...) {
      pthread_sigmask(SIG_SETMASK, &previous, nullptr);
      throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  ~PieceStream() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    encoder_.join();
  }

  size_t count() const { return count_; }

  // The next piece, once it is encoded (encoding allocates nothing: the
  // buffers were made up front). The one before is then free again.
  std::string_view next() {
    std::unique_lock lock(mutex_);
    if (taken_ > 0) ++written_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return encoded_ > taken_; });
    ByteBuffer& buffer = buffers_[taken_ % PIECES_AHEAD];
    ++taken_;
    return buffer.view();
  }

 private:
  void encode_all() {
    for (size_t piece = 0; piece < count_; ++piece) {
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopping_ || piece - written_ < PIECES_AHEAD; });
        if (stopping_) return;
      }
      ByteBuffer& buffer = buffers_[piece % PIECES_AHEAD];
      encode_piece(plan_, piece, buffer.data());
      buffer.set_size(piece_bytes(plan_, piece));
      std::lock_guard lock(mutex_);
      ++encoded_;
      changed_.notify_all();
    }
  }

  const SnapshotPlan& plan_;
  const size_t count_;
  ByteBuffer buffers_[PIECES_AHEAD];
  std::thread encoder_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t encoded_ = 0;   // guarded by mutex_: pieces ready
  size_t taken_ = 0;     // guarded by mutex_: pieces handed to the caller
  size_t written_ = 0;   // guarded by mutex_: pieces whose buffers are free again
  bool stopping_ = false;  // guarded by mutex_
};

// Encodes the store and writes it to `fd`, under shared access, segment then
// index, held until the last byte is written. A large store is encoded piece
// by piece on a thread of its own while this one writes the pieces before.
// Returns 0 or the errno of a failed write; sets `problem` instead when memory
// for the encoding cannot be allocated.
int write_store(const Store& store, int fd, std::string& problem) {
  std::shared_lock segment_lock(store.segment);
  std::shared_lock index_lock(store.index);
  try {
    SnapshotPlan plan = plan_snapshot(store.points, store.graph);
    if (plan.total_bytes < STREAM_MIN_BYTES) {
      ByteBuffer bytes = encode_planned(plan);
      return write_all(fd, bytes.view());
    }
    PieceStream stream(plan);
    for (size_t piece = 0; piece < stream.count(); ++piece) {
      std::string_view bytes = stream.next();
      if (int error = write_all(fd, bytes)) return error;
    }
  } catch (const std::bad_alloc&) {
    problem = "memory allocation failed";
  }
  return 0;
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

// Clears O_NONBLOCK, which an open sets only so as not to wait for the other
// end of a pipe. Returns 0 or an errno.
int make_blocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return errno;
  return 0;
}

// A device, pipe or socket cannot be replaced by a rename; it is opened and
// written as it is. A pipe without a reader fails at once (ENXIO) instead of
// waiting for one.
Status save_in_place(const Store& store, const SaveTarget& target) {
  int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  FileDescriptor file(::open(target.path.c_str(), flags, 0666));
  if (file.fd < 0) return failure(CREATE_FAILED, errno);
  if (int error = make_blocking(file.fd)) return failure(CREATE_FAILED, error);
  ByteBuffer bytes;
  std::string problem;
  if (!encode_store(store, bytes, problem)) return Status::IOError(ENCODE_FAILED + problem);
  if (int error = write_all(file.fd, bytes.view())) return failure(WRITE_FAILED, error);
  if (int error = file.close()) return failure(WRITE_FAILED, error);
  return Status::Ok();
}

bool is_device(mode_t mode) { return S_ISCHR(mode) || S_ISBLK(mode); }

// Reads an open file to its end: a regular file, or a pipe until its writers
// have closed it (at once when it has none). A directory fails as its read
// would (EISDIR), anything else that is no stream of bytes with an end with
// ENOTSUP. Returns 0 or an errno.
int read_file(int fd, ByteBuffer& bytes) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return errno;
  if (S_ISDIR(info.st_mode)) return EISDIR;
  if (!S_ISREG(info.st_mode) && !S_ISFIFO(info.st_mode)) return ENOTSUP;
  if (int error = make_blocking(fd)) return error;
  // The known size (plus one byte, so the end of file is seen without growing)
  // is allocated at once; pipes, and files that report no size, grow as data arrives.
  size_t expected = S_ISREG(info.st_mode) ? static_cast<size_t>(info.st_size) : 0;
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

// Files from this size on are decoded while they are read: a thread reads
// ahead into the buffer while the caller decodes what has arrived.
constexpr size_t READ_AHEAD_MIN_BYTES = size_t{8} << 20;
constexpr size_t READ_AHEAD_STEP = size_t{4} << 20;

// A regular file of known size read by a thread of its own into one buffer,
// step by step, while the decoder reads behind it.
class FileReadAhead final : public ArrivingInput {
 public:
  FileReadAhead(int fd, size_t expected)
      : fd_(fd), bytes_(expected + 1, PagePlacement::OnFirstWrite), expected_(expected) {
    // Every signal stays with the interpreter's threads.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
      reader_ = std::thread([this] { read_all(); });
    } catch (...) {
      pthread_sigmask(SIG_SETMASK, &previous, nullptr);
      throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  ~FileReadAhead() override { finish(); }

  std::string_view expected_bytes() const { return {bytes_.data(), expected_}; }

  const uint8_t* wait_for(const uint8_t* wanted) override {
    const uint8_t* start = reinterpret_cast<const uint8_t*>(bytes_.data());
    size_t need = static_cast<size_t>(wanted - start);
    std::unique_lock lock(mutex_);
    arrived_.wait(lock, [&] { return done_ || available_ >= need; });
    return start + available_;
  }

  // Waits for the reader. Returns 0, or the errno of a failed read; `grew`
  // tells whether the file held more than its size said when it was opened.
  int finish() {
    if (reader_.joinable()) reader_.join();
    return error_;
  }
  bool grew() const { return grew_; }
  size_t read_bytes() const { return available_; }

 private:
  void read_all() {
    size_t got_total = 0;
    int error = 0;
    bool grew = false;
    while (got_total < expected_) {
      size_t step = std::min(READ_AHEAD_STEP, expected_ - got_total);
      populate(got_total, step);
      ssize_t got = ::read(fd_, bytes_.data() + got_total, step);
      if (got < 0) {
        if (errno == EINTR) continue;
        error = errno;
        break;
      }
      if (got == 0) break;  // shorter than it was: the decoder meets the end
      got_total += static_cast<size_t>(got);
      std::lock_guard lock(mutex_);
      available_ = got_total;
      arrived_.notify_one();
    }
    if (error == 0 && got_total == expected_) {
      // One byte more tells a file that grew meanwhile.
      ssize_t got;
      do {
        got = ::read(fd_, bytes_.data() + expected_, 1);
      } while (got < 0 && errno == EINTR);
      if (got < 0) error = errno;
      grew = got > 0;
    }
    std::lock_guard lock(mutex_);
    error_ = error;
    grew_ = grew;
    done_ = true;
    arrived_.notify_one();
  }

  // Makes the pages of bytes [offset, offset + length) present in one call, on
  // this thread, before they are read into (where the kernel can; where not,
  // the read faults them in).
  void populate(size_t offset, size_t length) {
    const uintptr_t page = 4096;
    const uintptr_t start = reinterpret_cast<uintptr_t>(bytes_.data() + offset);
    const uintptr_t begin = start & ~(page - 1);
    const uintptr_t end = (start + length + page - 1) & ~(page - 1);
    ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
  }

  int fd_;
  ByteBuffer bytes_;
  size_t expected_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  size_t available_ = 0;  // guarded by mutex_
  bool done_ = false;     // guarded by mutex_
  int error_ = 0;         // guarded by mutex_ until the reader is joined
  bool grew_ = false;     // likewise
};

// Decodes a large regular file while a thread reads it. Returns false when
// this path does not apply (another kind of file, or one that grew while it
// was read), so the caller reads the file whole first.
bool load_while_reading(int fd, SnapshotState& state, Status& status) {
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<size_t>(info.st_size) < READ_AHEAD_MIN_BYTES) {
    return false;
  }
  if (make_blocking(fd) != 0) return false;
  FileReadAhead file(fd, static_cast<size_t>(info.st_size));
  Status decoded = decode_snapshot(file.expected_bytes(), &file, state);
  int error = file.finish();
  // As if the file had been read whole first: a read error comes before
  // anything the decoder found.
  if (error != 0) {
    status = failure(READ_FAILED, error);
  } else if (file.grew()) {
    return false;
  } else if (!decoded.ok()) {
    status = Status::Corruption(DECODE_FAILED + decoded.text());
  } else {
    status = Status::Ok();
  }
  return true;
}

}  // namespace

void remove_stale_temporaries(const std::string& directory, const std::string& target_name) {
  DirectoryStream listing(::opendir(directory.c_str()));
  if (listing.stream == nullptr) return;
  const std::string stem = temporary_stem(target_name);
  const int directory_fd = ::dirfd(listing.stream);
  const uint32_t own_tag = host_tag();
  while (const dirent* entry = ::readdir(listing.stream)) {
    std::string_view name(entry->d_name);
    uint64_t pid;
    uint32_t tag;
    if (name.size() <= stem.size() || name.substr(0, stem.size()) != stem ||
        !parse_temporary_suffix(name.substr(stem.size()), pid, tag)) {
      continue;
    }
    bool local = own_tag != 0 && tag == own_tag;
    // A running process other than the caller may be writing it; the caller's
    // own id may have been inherited from a writer that died (a restarted
    // container gets the same small ids), and its live saves hold the lock.
    if (local && pid != static_cast<uint64_t>(::getpid()) && process_runs(pid)) continue;
    FileDescriptor file(::openat(directory_fd, entry->d_name,
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.fd < 0) continue;
    struct stat info;
    if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
      continue;
    }
    time_t age = std::time(nullptr) - info.st_mtime;
    if (age < (local ? STALE_LOCAL_SECONDS : STALE_FOREIGN_SECONDS)) continue;
    if (::flock(file.fd, LOCK_EX | LOCK_NB) != 0) continue;  // a save in progress, or no locks here
    // Remove the name only while it still names the file that was checked.
    struct stat current;
    if (::fstatat(directory_fd, entry->d_name, &current, AT_SYMLINK_NOFOLLOW) != 0 ||
        current.st_dev != info.st_dev || current.st_ino != info.st_ino) {
      continue;
    }
    ::unlinkat(directory_fd, entry->d_name, 0);
  }
}

Status save_snapshot(const Store& store, const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return Status::IOError(std::string(CREATE_FAILED) + NUL_IN_PATH);
  }
  SaveTarget target;
  if (int error = resolve_target(path, target)) return failure(CREATE_FAILED, error);
  if (!target.regular) return save_in_place(store, target);

  remove_stale_temporaries(target.directory, target.name);
  TemporaryFile temporary;
  if (int error = create_temporary(target, temporary)) return failure(CREATE_FAILED, error);
  std::string problem;
  int error = write_store(store, temporary.file.fd, problem);
  if (!problem.empty()) return Status::IOError(ENCODE_FAILED + problem);
  if (error != 0) return failure(WRITE_FAILED, error);
  if (int error = sync_file(temporary.file.fd)) return failure(WRITE_FAILED, error);
  if (int error = temporary.file.close()) return failure(WRITE_FAILED, error);
  if (::rename(temporary.path.c_str(), target.path.c_str()) != 0) {
    return failure(WRITE_FAILED, errno);
  }
  temporary.renamed = true;
  // The target now holds the new content: a failure from here on is no failure
  // of the save, only doubt about whether the rename outlives a crash.
  if (int error = sync_directory(target.directory)) {
    return Status::Warning(DIRECTORY_SYNC_FAILED + os_error_text(error));
  }
  return Status::Ok();
}

Status load_snapshot(Store& store, const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return Status::IOError(std::string(OPEN_FAILED) + NUL_IN_PATH);
  }
  SnapshotState state;
  {
    // A device is refused before it is opened: opening one can have effects of
    // its own, and reading one may never end (/dev/zero) or wait for input.
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && is_device(info.st_mode)) {
      return failure(READ_FAILED, ENOTSUP);
    }
    // Without O_NONBLOCK, opening a pipe that has no writer waits for one.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.fd < 0) return failure(OPEN_FAILED, errno);
    Status status;
    if (load_while_reading(file.fd, state, status)) {
      if (!status.ok()) return status;
      file.close();
      install_state(store, std::move(state));
      return Status::Ok();
    }
    if (::lseek(file.fd, 0, SEEK_SET) < 0 && errno != ESPIPE) return failure(READ_FAILED, errno);
    state = SnapshotState();
    ByteBuffer bytes;
    if (int error = read_file(file.fd, bytes)) return failure(READ_FAILED, error);
    file.close();  // a read-only descriptor has nothing left to report
    Status decoded = decode_snapshot(bytes.view(), state);
    if (!decoded.ok()) return Status::Corruption(DECODE_FAILED + decoded.text());
  }  // the file's bytes are dropped before the state is installed
  install_state(store, std::move(state));
  return Status::Ok();
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
