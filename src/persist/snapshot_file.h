// Saving a store to a snapshot file and loading one back. Failures come back
// as a Status whose text is the complete message: a fixed prefix naming the
// stage, then the cause ("No such file or directory (os error 2)", or a
// decoder message).
#pragma once

#include <string>

#include "persist/snapshot.h"
#include "storage/store.h"
#include "util/status.h"

namespace tarnwick {

inline constexpr char CREATE_FAILED[] = "Failed to create snapshot file: ";
inline constexpr char ENCODE_FAILED[] = "Postcard binary serialization pipeline failure: ";
inline constexpr char WRITE_FAILED[] = "Failed to write serialized bytes to disk: ";
inline constexpr char OPEN_FAILED[] = "Failed to open snapshot file: ";
inline constexpr char READ_FAILED[] = "Failed to read snapshot file bytes: ";
inline constexpr char DECODE_FAILED[] =
    "Postcard binary deserialization pipeline failure (possible corruption): ";
// The text of the warning a save gives when the new file is in place but the
// directory sync that makes the rename durable failed.
inline constexpr char DIRECTORY_SYNC_FAILED[] =
    "Snapshot file replaced, but its directory could not be synced, so the replacement "
    "may not survive a crash: ";

// Writes the store's state to `path`, replacing the file there only once the
// new content is on stable storage: the bytes go to a temporary file in the
// same directory, which is synced and renamed over the target, and the
// directory is synced. An existing target keeps its permission bits and, where
// the process may set them, its owner and group; a symbolic link keeps pointing
// where it did and the file it names is replaced. A device, pipe or socket is
// opened without waiting for a reader and written in place. Before writing,
// leftover temporary files of the same target whose saves can no longer finish
// are removed (remove_stale_temporaries). On failure the temporary file is
// removed and the target is left as it was; the error is an IOError with the
// complete message. Once the rename has put the new file in place a failure to
// sync the directory is a Warning: the data is there, its durability is not
// known. Takes shared access to the store only while encoding.
Status save_snapshot(const Store& store, const std::string& path);

// Reads and decodes the file at `path` without holding any store lock, then
// installs the decoded state. Regular files and pipes are read to their end;
// the open never waits for a writer, and devices are refused, since they have
// no end to read to. On failure returns IOError or Corruption with the complete
// message and the store is unchanged; an allocation failure throws std::bad_alloc.
Status load_snapshot(Store& store, const std::string& path);

// Temporary files of a save are named ".NAME.tmp-PID-TTTTTTTTRRRRRRRR": the
// target's name (cut to 200 bytes), the writer's process id, the writer's host
// tag (from the kernel's boot id) and 32 random bits, in hexadecimal. Every save
// holds an exclusive flock on its temporary file from its creation until the
// rename. A file of that form for the same target is stale, and removed, when
// it is a regular file of the calling user that no one holds locked and either
// - its host tag is this kernel's (so the lock is authoritative), its writer's
//   process id is not running (or is the caller's own, inherited from the dead
//   writer), and it has not been modified for STALE_LOCAL_SECONDS; or
// - it comes from another host or from an unknown one, and it has not been
//   modified for STALE_FOREIGN_SECONDS (locks across hosts may not be shared).
// Every failure is ignored: the removal is housekeeping, not part of the save.
inline constexpr int STALE_LOCAL_SECONDS = 10;
inline constexpr int STALE_FOREIGN_SECONDS = 15 * 60;
void remove_stale_temporaries(const std::string& directory, const std::string& target_name);

// Replaces the whole state of the store (points, graph and its parameters)
// with `state`, under exclusive access to segment then index. The old state is
// dropped after both locks are released.
void install_state(Store& store, SnapshotState state);

}  // namespace tarnwick
