// Telling snapshot files apart: a file's identity (length and CRC-32C), which a
// log's header names so that its followers know which snapshot its records
// apply to, and the origin a store keeps of the file its content came from.
#pragma once

#include <string>

#include "persist/file_replace.h"
#include "storage/store.h"
#include "util/status.h"

namespace tarnwick {

// Reads the regular file at `path` whole and gives its identity. IOError when
// it cannot be opened or read.
Status identify_snapshot_file(const std::string& path, SnapshotIdentity& identity);

// Records that the store's content is now the snapshot file at `path`, as the
// store's count of changes stood at `changes_before` (a change counted since
// then means the content may not be the file's, and no origin is kept).
// `identity` may be unknown. `file` is the stamp of the file the content came
// from (a load's, taken from the file it read: the path may name a newer one
// by now); without it, the file at the path now is taken. A relative path is
// kept as seen from the working directory now.
void set_snapshot_origin(const ChangesHeld& held, const std::string& path, const SnapshotIdentity& identity,
                         uint64_t changes_before, const FileStamp* file = nullptr);

// The identity of the snapshot file the store's content is, when it still is
// one: no change since its origin was set, and the file unchanged at its path.
// Reads the file when the identity was not computed yet. Unknown otherwise.
SnapshotIdentity content_identity(const ChangesHeld& held);

// A snapshot file that an open log continues: the log's records apply to that
// file's content, so a snapshot of other content put in its place would make
// the log replay onto it. While the log is open its store holds a read lock on
// the file (an open file description's lock on one byte far past any
// snapshot's end, apart from the flocks that logs and temporary files take),
// and saves refuse a file another store holds so.

// Opens the file of the store's origin into `held_file` (closing what it held)
// and locks it, while the content is still that file's; leaves it empty when
// it is not, or the file system cannot lock.
void hold_origin_snapshot(const ChangesHeld& held, FileDescriptor& held_file);

// Opens the file at `path`, the temporary file of a checkpoint's save, into
// `held_file` and locks it as continued, when it is the file open at `fd`;
// leaves it empty otherwise. Taken before the rename, the lock guards the new
// snapshot from the moment its name leads to it, not only once the log holds
// it (hold_origin_snapshot): another store's save in between would put its
// own content under the log.
void hold_new_snapshot(const std::string& path, int fd, FileDescriptor& held_file);

// Whether another store's log continues the file at `path`. `own` is the
// store's own held file, or empty: when it is the file at the path, the
// question goes through it, so that its own lock is not counted and another
// log continuing the same file is still seen. A file replaced while it was
// looked at (a checkpoint's rename) is looked at again.
bool continued_by_another_log(const std::string& path, FileDescriptor& own);

}  // namespace tarnwick
