// Telling snapshot files apart: a file's identity (length and CRC-32C), which a
// log's header names so that its followers know which snapshot its records
// apply to, and the origin a store keeps of the file its content came from.
#pragma once

#include <string>

#include "storage/store.h"
#include "util/status.h"

namespace tarnwick {

// Reads the regular file at `path` whole and gives its identity. IOError when
// it cannot be opened or read.
Status identify_snapshot_file(const std::string& path, SnapshotIdentity& identity);

// Records that the store's content is now the snapshot file at `path`, as the
// store's count of changes stood at `changes_before` (a change counted since
// then means the content may not be the file's, and no origin is kept).
// `identity` may be unknown; the file's status is taken now.
void set_snapshot_origin(const ChangesHeld& held, const std::string& path, const SnapshotIdentity& identity,
                         uint64_t changes_before);

// The identity of the snapshot file the store's content is, when it still is
// one: no change since its origin was set, and the file unchanged at its path.
// Reads the file when the identity was not computed yet. Unknown otherwise.
SnapshotIdentity content_identity(const ChangesHeld& held);

}  // namespace tarnwick
