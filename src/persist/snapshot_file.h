// Saving a store to a snapshot file and loading one back. Failures come back
// as a Status whose text is the complete message: a fixed prefix naming the
// stage, then the cause ("No such file or directory (os error 2)", or a
// decoder message).
#pragma once

#include <string>

#include "persist/file_replace.h"
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
// are removed (remove_stale_temporaries in persist/file_replace.h). On failure
// the temporary file is removed and the target is left as it was; the error is
// an IOError with the complete message. Once the rename has put the new file in
// place a failure to sync the directory is a Warning: the data is there, its
// durability is not known. Holds a ReadView of the store only while encoding
// and writing. With `identity` given, a regular file's identity is computed
// as it is written (left unknown for one written in place). With `continued`
// given, a regular file is locked as the snapshot an open log continues
// (hold_new_snapshot) before it is renamed into place, through that descriptor.
Status save_snapshot(const Store& store, const std::string& path, SnapshotIdentity* identity = nullptr,
                     FileDescriptor* continued = nullptr);

// Reads and decodes the file at `path` without holding any store lock, then
// installs the decoded state. Regular files and pipes are read to their end;
// the open never waits for a writer, and devices are refused, since they have
// no end to read to. On failure returns IOError or Corruption with the complete
// message and the store is unchanged; an allocation failure throws std::bad_alloc.
// With `read_from` given, it receives the stamp of the file that was read (the
// path may name another file by the time the load returns).
Status load_snapshot(Store& store, const std::string& path, FileStamp* read_from = nullptr);

// Replaces the whole state of the store (points, graph and its parameters)
// with `state` (replace_content). The old state is dropped after the store's
// locks are released.
void install_state(Store& store, SnapshotState state);

}  // namespace tarnwick
