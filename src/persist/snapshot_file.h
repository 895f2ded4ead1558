// Saving a store to a snapshot file and loading one back. Failures come back
// as the complete message text: a fixed prefix naming the stage, then the
// cause ("No such file or directory (os error 2)", or a decoder message).
#pragma once

#include <optional>
#include <string>

#include "persist/snapshot.h"
#include "storage/store.h"

namespace tarnwick {

inline constexpr char CREATE_FAILED[] = "Failed to create snapshot file: ";
inline constexpr char ENCODE_FAILED[] = "Postcard binary serialization pipeline failure: ";
inline constexpr char WRITE_FAILED[] = "Failed to write serialized bytes to disk: ";
inline constexpr char OPEN_FAILED[] = "Failed to open snapshot file: ";
inline constexpr char READ_FAILED[] = "Failed to read snapshot file bytes: ";
inline constexpr char DECODE_FAILED[] =
    "Postcard binary deserialization pipeline failure (possible corruption): ";

// Writes the store's state to `path`, replacing the file there only once the
// new content is on stable storage: the bytes go to a temporary file in the
// same directory, which is synced and renamed over the target, and the
// directory is synced. An existing target keeps its permission bits; a
// symbolic link keeps pointing where it did and the file it names is
// replaced. On failure the temporary file is removed and the target is left
// as it was. Takes shared access to the store only while encoding.
// Returns the error text, or nothing on success.
std::optional<std::string> save_snapshot(const Store& store, const std::string& path);

// Reads and decodes the file at `path` without holding any store lock, then
// installs the decoded state. On failure the store is unchanged.
// Returns the error text, or nothing on success.
std::optional<std::string> load_snapshot(Store& store, const std::string& path);

// Replaces the whole state of the store (points, graph and its parameters)
// with `state`, under exclusive access to segment then index. The old state is
// dropped after both locks are released.
void install_state(Store& store, SnapshotState state);

}  // namespace tarnwick
