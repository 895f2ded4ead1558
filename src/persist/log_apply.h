// Applying a log's records: a whole log replayed when it is opened, and a
// change of the graph together with the Links record the writer put after it
// (the writer's lists installed where the reader's graph is the writer's, the
// change linked afresh where not).
#pragma once

#include <memory>
#include <vector>

#include "persist/log_record.h"
#include "storage/store.h"
#include "util/status.h"

namespace tarnwick {

// What follows a change of the graph in the log.
enum class LinksAhead {
  Given,    // its Links record, read into `links`; the reader is past it
  Absent,   // another record, or the end of a log whose writer writes no Links
  Pending,  // the end of the whole records, where the writer has yet to put it
};

// Looks at the record after the one just read. At the end of the whole
// records: Pending when the header says Links follow and `finished` is false
// (the writer may still append), else Absent. A record that cannot be read is
// Absent here; the next read reports it.
LinksAhead read_links_after(LogReader& reader, LogRecord& links, bool finished);

// Whether the record at the reader is a change of the graph, whole, whose
// Links record the writer has yet to finish (the header says Links follow and
// the file is not `finished`): told from the record headers alone, so that a
// reader polling while the writer applies a large change does not decode it
// again at every look.
bool links_pending(const LogReader& reader, bool finished);

// Applies a change of the graph with the writer's lists `delta` (null: link
// it); `installed` receives whether the lists were installed, which holds only
// while the store's graph is the writer's.
Status apply_with_links(Store& store, LogRecord& record, const GraphDelta* delta, ChangeSource source,
                        Linking linking, bool& installed);

// Upserts gathered from consecutive records, to be applied as one batch.
struct PendingUpserts {
  std::vector<uint64_t> ids;
  std::vector<std::vector<float>> vectors;
  std::vector<std::unique_ptr<Payload>> payloads;
  size_t records = 0;  // how many records they came from
  uint64_t end = 0;    // where the last of those records ends, for a reader that tracks it
};

// Moves the points of an upsert record (one point or a batch) to the end of
// `pending`, and counts the record.
void gather_upserts(LogRecord& record, PendingUpserts& pending);

// Applies every record of the log, in order, to `store` (a copy no one else
// sees). Replay is safe over a snapshot that already holds the changes of a
// prefix of the log (a checkpoint that a crash interrupted after the snapshot
// was in place): every change sets state that does not depend on the state
// before it. An upsert replaces its point whole (vector and payload), so
// applying it again, or after later changes of other points, leaves the point
// as the last upsert of its id made it; a delete of an absent point changes
// nothing; an ef_search change sets the value, and the last one wins. Applying
// a prefix twice therefore ends where applying it once did, and the suffix then
// applies to the same content. The graph may differ where changes are linked
// again (drawn at random); the points, their payloads and the parameters do
// not. While `in_step` (the store's graph is the one the log's records were
// made on), each change with its Links record gets the writer's lists; the
// first change linked here ends that. Consecutive linked upserts are applied as
// one batch, which stores what the same upserts one by one would.
// `ends_without_links` tells a last change of the graph with no Links after it.
Status replay(LogReader& reader, Store& store, bool in_step, bool& ends_without_links);

}  // namespace tarnwick
