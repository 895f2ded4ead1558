// Snapshot identities: CRC-32C over a file read in steps, and a store's origin.
#include "persist/snapshot_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "persist/file_replace.h"
#include "util/crc32c.h"

namespace tarnwick {

namespace {

constexpr size_t IDENTIFY_STEP = size_t{1} << 20;

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

}  // namespace

Status identify_snapshot_file(const std::string& path, SnapshotIdentity& identity) {
  if (Status checked = check_path(path); !checked.ok()) return checked;
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (file.fd < 0) return os_error(errno);
  struct stat info;
  if (::fstat(file.fd, &info) != 0) return os_error(errno);
  if (!S_ISREG(info.st_mode)) return Status::IOError("not a regular file");
  auto step = std::make_unique<char[]>(IDENTIFY_STEP);
  uint32_t crc = 0;
  uint64_t length = 0;
  for (;;) {
    ssize_t got = ::pread(file.fd, step.get(), IDENTIFY_STEP, static_cast<off_t>(length));
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

void set_snapshot_origin(const ChangesHeld& held, const std::string& path, const SnapshotIdentity& identity,
                         uint64_t changes_before) {
  Store& store = held.store;
  store.origin.reset();
  struct stat info;
  if (store.changes_made != changes_before || !stat_file(path, info)) return;
  if (identity.known() && identity.length != static_cast<uint64_t>(info.st_size)) return;
  store.origin = SnapshotOrigin{path,
                                static_cast<uint64_t>(info.st_dev),
                                static_cast<uint64_t>(info.st_ino),
                                static_cast<uint64_t>(info.st_size),
                                modified_ns(info),
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
    SnapshotIdentity identity;
    if (!identify_snapshot_file(origin->path, identity).ok() || identity.length != origin->size) {
      return SnapshotIdentity();
    }
    origin->identity = identity;
  }
  return origin->identity;
}

}  // namespace tarnwick
