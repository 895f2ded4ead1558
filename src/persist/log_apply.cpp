#include "persist/log_apply.h"

#include <span>
#include <vector>

namespace tarnwick {

LinksAhead read_links_after(LogReader& reader, LogRecord& links, bool finished) {
  const std::string_view file = reader.file;
  const size_t offset = reader.offset;
  if (file.size() - offset < RECORD_HEADER_BYTES) {
    return reader.header.links_follow() && !finished ? LinksAhead::Pending : LinksAhead::Absent;
  }
  // The kind byte first: most records after a change of a log without Links
  // are changes, not decoded twice.
  if (static_cast<uint8_t>(file[offset + 4]) != static_cast<uint8_t>(ChangeKind::Links)) {
    return LinksAhead::Absent;
  }
  LogReader probe = reader;
  Status status;
  if (next_log_record(probe, links, status) && links.kind == ChangeKind::Links) {
    reader = probe;
    return LinksAhead::Given;
  }
  if (status.ok() && probe.torn_bytes != 0 && reader.header.links_follow() && !finished) {
    return LinksAhead::Pending;  // being written
  }
  return LinksAhead::Absent;
}

Status apply_with_links(Store& store, LogRecord& record, const GraphDelta* delta, ChangeSource source,
                        Linking linking, bool& installed) {
  installed = false;
  if (record.kind == ChangeKind::Upsert || record.kind == ChangeKind::UpsertBatch) {
    std::vector<std::span<const float>> vectors;
    vectors.reserve(record.ids.size());
    for (size_t i = 0; i < record.ids.size(); ++i) {
      const size_t begin = i == 0 ? 0 : record.ends[i - 1];
      vectors.emplace_back(record.values.data() + begin, record.ends[i] - begin);
    }
    return upsert_batch(store, record.ids, vectors, record.payloads, source, linking, delta, &installed);
  }
  size_t existed;
  return delete_points(store, record.ids, existed, record.kind, source, delta, &installed);
}

}  // namespace tarnwick
