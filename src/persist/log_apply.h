// Applying a log's change of the graph together with the Links record the
// writer put after it: the writer's lists installed where the reader's graph
// is the writer's, the change linked afresh where not.
#pragma once

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

}  // namespace tarnwick
