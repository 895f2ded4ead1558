#include "persist/log_apply.h"

#include <bit>
#include <cstring>
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

bool links_pending(const LogReader& reader, bool finished) {
  if (finished || !reader.header.links_follow()) return false;
  const std::string_view file = reader.file;
  const size_t offset = reader.offset;
  if (file.size() - offset < RECORD_HEADER_BYTES) return false;
  uint32_t length;
  std::memcpy(&length, file.data() + offset, sizeof length);
  if constexpr (std::endian::native == std::endian::big) length = __builtin_bswap32(length);
  const size_t kind = static_cast<uint8_t>(file[offset + 4]);
  if (kind < static_cast<uint8_t>(ChangeKind::Upsert) || kind > static_cast<uint8_t>(ChangeKind::Links) ||
      !changes_graph(static_cast<ChangeKind>(kind)) || length > file.size() - offset - RECORD_HEADER_BYTES) {
    return false;  // not a whole change of the graph: the reader tells what it is
  }
  const size_t next = offset + RECORD_HEADER_BYTES + length;
  if (file.size() - next < RECORD_HEADER_BYTES) return true;
  uint32_t next_length;
  std::memcpy(&next_length, file.data() + next, sizeof next_length);
  if constexpr (std::endian::native == std::endian::big) next_length = __builtin_bswap32(next_length);
  return static_cast<uint8_t>(file[next + 4]) == static_cast<uint8_t>(ChangeKind::Links) &&
         next_length > file.size() - next - RECORD_HEADER_BYTES;
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
