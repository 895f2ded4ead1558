// Snapshots streamed to and from files: a large store is encoded on a thread
// of its own while the caller writes the pieces before, and a large file is
// read on a thread of its own while the caller decodes what has arrived. The
// file itself is replaced through persist/file_replace.h.
#include "persist/snapshot_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <string_view>
#include <thread>

#include "persist/file_replace.h"
#include "persist/snapshot_identity.h"
#include "util/crc32c.h"
#include "util/free_memory.h"
#include "util/quiet_thread.h"

namespace tarnwick {

namespace {

// Single read calls stay below the kernel's per-call limit.
constexpr size_t MAX_READ_CHUNK = size_t{1} << 30;

constexpr char ENCODE_OUT_OF_MEMORY[] = "memory allocation failed";

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
    encoder_ = start_quiet_thread([this] { encode_all(); });
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
      buffer.set_size(encode_piece(plan_, piece, buffer.data()));
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

// Adds written bytes to the identity being computed, when one is.
void identify(SnapshotIdentity* identity, std::string_view bytes) {
  if (identity == nullptr) return;
  identity->crc = crc32c_extend(identity->crc, bytes.data(), bytes.size());
  identity->length += bytes.size();
}

// Encodes the content of the view and writes it to `fd`, and when `identity`
// is given computes the identity of what it wrote. A large store is encoded
// piece by piece on a thread of its own while this one writes the pieces
// before. Fails with WRITE_FAILED and the cause of a failed write, or with
// ENCODE_FAILED when memory for the encoding cannot be allocated.
// Asks the kernel to start writing these bytes to the device now, without
// waiting, so that the fsync at the end finds most of the file written while
// later pieces were encoded. Failures are the fsync's to report.
void start_writeback(int fd, off_t offset, size_t length) {
#if defined(__linux__)
  (void)::sync_file_range(fd, offset, static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
#else
  (void)fd, (void)offset, (void)length;
#endif
}

Status write_snapshot(const ReadView& view, int fd, SnapshotIdentity* identity) {
  try {
    // Streamed pieces are encoded one at a time, each into a buffer of its
    // own: their sizes need only be bounded.
    SnapshotPlan plan = plan_snapshot(view.points, view.graph, PieceSizes::Bounds);
    if (plan.total_bytes < STREAM_MIN_BYTES) {
      plan = plan_snapshot(view.points, view.graph);
      ByteBuffer bytes = encode_planned(plan);
      identify(identity, bytes.view());
      return write_all(fd, bytes.view()).prefixed(WRITE_FAILED);
    }
    PieceStream stream(plan);
    off_t offset = 0;
    for (size_t piece = 0; piece < stream.count(); ++piece) {
      std::string_view bytes = stream.next();
      identify(identity, bytes);
      if (Status written = write_all(fd, bytes); !written.ok()) return written.prefixed(WRITE_FAILED);
      start_writeback(fd, offset, bytes.size());
      offset += static_cast<off_t>(bytes.size());
    }
  } catch (const std::bad_alloc&) {
    return Status::IOError(std::string(ENCODE_FAILED) + ENCODE_OUT_OF_MEMORY);
  }
  return Status::Ok();
}

// A device, pipe or socket cannot be replaced by a rename; it is opened and
// written as it is. The whole content is encoded before the first byte is
// written, under a view held only while encoding.
Status save_in_place(const Store& store, const FileTarget& target) {
  FileDescriptor file;
  if (Status opened = open_in_place(target, file); !opened.ok()) return opened.prefixed(CREATE_FAILED);
  ByteBuffer bytes;
  try {
    const ReadView view = read_view(store);
    bytes = encode_snapshot(view.points, view.graph);
  } catch (const std::bad_alloc&) {
    return Status::IOError(std::string(ENCODE_FAILED) + ENCODE_OUT_OF_MEMORY);
  }
  if (Status written = write_all(file.fd, bytes.view()); !written.ok()) return written.prefixed(WRITE_FAILED);
  return file.close().prefixed(WRITE_FAILED);
}

bool is_device(mode_t mode) { return S_ISCHR(mode) || S_ISBLK(mode); }

// Reads an open file to its end: a regular file, or a pipe until its writers
// have closed it (at once when it has none). A directory fails as its read
// would (EISDIR), anything else that is no stream of bytes with an end with
// ENOTSUP.
Status read_file(int fd, ByteBuffer& bytes) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return os_error(errno);
  if (S_ISDIR(info.st_mode)) return os_error(EISDIR);
  if (!S_ISREG(info.st_mode) && !S_ISFIFO(info.st_mode)) return os_error(ENOTSUP);
  if (Status blocking = make_blocking(fd); !blocking.ok()) return blocking;
  // The known size (plus one byte, so the end of file is seen without growing)
  // is allocated at once; pipes, and files that report no size, grow as data arrives.
  size_t expected = S_ISREG(info.st_mode) ? static_cast<size_t>(info.st_size) : 0;
  bytes = ByteBuffer(expected != 0 ? expected + 1 : 8192);
  while (true) {
    if (bytes.size() == bytes.capacity()) bytes.reallocate(bytes.capacity() * 2);
    ssize_t got = ::read(fd, bytes.data() + bytes.size(),
                         std::min(bytes.capacity() - bytes.size(), MAX_READ_CHUNK));
    if (got < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (got == 0) return Status::Ok();
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
    reader_ = start_quiet_thread([this] { read_all(); });
  }
  ~FileReadAhead() override {
    if (reader_.joinable()) reader_.join();
  }

  std::string_view expected_bytes() const { return {bytes_.data(), expected_}; }

  const uint8_t* wait_for(const uint8_t* wanted) override {
    const uint8_t* start = reinterpret_cast<const uint8_t*>(bytes_.data());
    size_t need = static_cast<size_t>(wanted - start);
    std::unique_lock lock(mutex_);
    arrived_.wait(lock, [&] { return done_ || available_ >= need; });
    return start + available_;
  }

  // Waits for the reader. Returns the failure of a read, if any; `grew` tells
  // whether the file held more than its size said when it was opened.
  Status finish() {
    if (reader_.joinable()) reader_.join();
    return failure_;
  }
  bool grew() const { return grew_; }
  size_t read_bytes() const { return available_; }

 private:
  void read_all() {
    size_t got_total = 0;
    Status failure;
    bool grew = false;
    while (got_total < expected_) {
      size_t step = std::min(READ_AHEAD_STEP, expected_ - got_total);
      populate(got_total, step);
      ssize_t got = ::read(fd_, bytes_.data() + got_total, step);
      if (got < 0) {
        if (errno == EINTR) continue;
        failure = os_error(errno);
        break;
      }
      if (got == 0) break;  // shorter than it was: the decoder meets the end
      got_total += static_cast<size_t>(got);
      std::lock_guard lock(mutex_);
      available_ = got_total;
      arrived_.notify_one();
    }
    if (failure.ok() && got_total == expected_) {
      // One byte more tells a file that grew meanwhile.
      ssize_t got;
      do {
        got = ::read(fd_, bytes_.data() + expected_, 1);
      } while (got < 0 && errno == EINTR);
      if (got < 0) failure = os_error(errno);
      grew = got > 0;
    }
    std::lock_guard lock(mutex_);
    failure_ = std::move(failure);
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
  Status failure_;        // guarded by mutex_ until the reader is joined
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
  if (!make_blocking(fd).ok()) return false;
  FileReadAhead file(fd, static_cast<size_t>(info.st_size));
  Status decoded = decode_snapshot(file.expected_bytes(), &file, state);
  Status read = file.finish();
  // As if the file had been read whole first: a read error comes before
  // anything the decoder found.
  if (!read.ok()) {
    status = read.prefixed(READ_FAILED);
  } else if (file.grew()) {
    return false;
  } else {
    status = decoded.prefixed(DECODE_FAILED);
  }
  return true;
}

}  // namespace

Status save_snapshot(const Store& store, const std::string& path, SnapshotIdentity* identity,
                     FileDescriptor* continued) {
  if (Status checked = check_path(path); !checked.ok()) return checked.prefixed(CREATE_FAILED);
  FileTarget target;
  if (Status resolved = resolve_target(path, target); !resolved.ok()) {
    return resolved.prefixed(CREATE_FAILED);
  }
  if (!target.regular) return save_in_place(store, target);

  Replacement replacement;
  if (Status begun = begin_replacement(target, replacement); !begun.ok()) {
    return begun.prefixed(CREATE_FAILED);
  }
  {
    // The view is held until the last byte is written: the file is one state.
    const ReadView view = read_view(store);
    if (identity != nullptr) *identity = SnapshotIdentity();
    if (Status written = write_snapshot(view, replacement.file.fd, identity); !written.ok()) return written;
  }
  if (continued != nullptr) hold_new_snapshot(replacement.temporary_path, replacement.file.fd, *continued);
  Status finished = finish_replacement(replacement);
  if (finished.kind() == Status::Kind::Warning) return finished.prefixed(DIRECTORY_SYNC_FAILED);
  return finished.prefixed(WRITE_FAILED);
}

Status load_snapshot(Store& store, const std::string& path, FileStamp* read_from) {
  if (Status checked = check_path(path); !checked.ok()) return checked.prefixed(OPEN_FAILED);
  SnapshotState state;
  {
    // A device is refused before it is opened: opening one can have effects of
    // its own, and reading one may never end (/dev/zero) or wait for input.
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && is_device(info.st_mode)) {
      return os_error(ENOTSUP).prefixed(READ_FAILED);
    }
    // Without O_NONBLOCK, opening a pipe that has no writer waits for one.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.fd < 0) return os_error(errno).prefixed(OPEN_FAILED);
    Status status;
    if (load_while_reading(file.fd, state, status)) {
      if (!status.ok()) return status;
      if (read_from != nullptr) *read_from = stamp_open_file(file.fd);
      (void)file.close();  // a read-only descriptor has nothing left to report
      install_state(store, std::move(state));
      // What the decoding used for a while (the link census, batches of norms)
      // and the content the store held before go back to the system rather
      // than stay in the allocator's heaps.
      release_free_memory();
      return Status::Ok();
    }
    if (::lseek(file.fd, 0, SEEK_SET) < 0 && errno != ESPIPE) return os_error(errno).prefixed(READ_FAILED);
    state = SnapshotState();
    ByteBuffer bytes;
    if (Status read = read_file(file.fd, bytes); !read.ok()) return read.prefixed(READ_FAILED);
    if (read_from != nullptr) *read_from = stamp_open_file(file.fd);
    (void)file.close();  // a read-only descriptor has nothing left to report
    Status decoded = decode_snapshot(bytes.view(), state);
    if (!decoded.ok()) return decoded.prefixed(DECODE_FAILED);
  }  // the file's bytes are dropped before the state is installed
  install_state(store, std::move(state));
  return Status::Ok();
}

void install_state(Store& store, SnapshotState state) {
  replace_content(store, std::move(state.points), std::move(state.graph));
}

}  // namespace tarnwick
