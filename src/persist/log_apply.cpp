#include "persist/log_apply.h"

#include <bit>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

namespace tarnwick {

namespace {

// Upserts replayed per batch, at most.
constexpr size_t REPLAY_BATCH_POINTS = 65536;

Status apply_pending(Store& store, PendingUpserts& pending) {
  if (pending.ids.empty()) return Status::Ok();
  std::vector<std::span<const float>> spans(pending.vectors.begin(), pending.vectors.end());
  Status applied = upsert_batch(store, pending.ids, spans, pending.payloads);
  pending = PendingUpserts();
  return applied;
}

}  // namespace


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

void gather_upserts(LogRecord& record, PendingUpserts& pending) {
  for (size_t i = 0; i < record.ids.size(); ++i) {
    size_t begin = i == 0 ? 0 : record.ends[i - 1];
    pending.ids.push_back(record.ids[i]);
    pending.vectors.emplace_back(record.values.begin() + static_cast<ptrdiff_t>(begin),
                                 record.values.begin() + static_cast<ptrdiff_t>(record.ends[i]));
    pending.payloads.push_back(std::move(record.payloads[i]));
  }
  ++pending.records;
}

Status replay(LogReader& reader, Store& store, bool in_step, bool& ends_without_links) {
  PendingUpserts pending;
  LogRecord record;
  LogRecord links;
  Status status;
  ends_without_links = false;
  while (next_log_record(reader, record, status)) {
    if (record.kind == ChangeKind::Links) {
      ends_without_links = false;
      continue;  // its change was linked here
    }
    ends_without_links = changes_graph(record.kind);
    if (changes_graph(record.kind) && in_step) {
      const LinksAhead ahead = read_links_after(reader, links, true);
      if (ahead == LinksAhead::Given) {
        ends_without_links = false;
        bool installed = false;
        const GraphDelta* delta = links.links ? &*links.links : nullptr;
        Status applied = apply_with_links(store, record, delta, ChangeSource::Caller, Linking::Workers, installed);
        if (!applied.ok()) return applied;
        in_step = installed;
        continue;
      }
      in_step = false;
    }
    if (record.kind == ChangeKind::Upsert || record.kind == ChangeKind::UpsertBatch) {
      gather_upserts(record, pending);
      if (pending.ids.size() >= REPLAY_BATCH_POINTS) {
        if (Status applied = apply_pending(store, pending); !applied.ok()) return applied;
      }
      continue;
    }
    if (Status applied = apply_pending(store, pending); !applied.ok()) return applied;
    if (record.kind == ChangeKind::EfSearch) {
      if (Status set = set_ef_search(store, record.ef_search); !set.ok()) return set;
    } else {
      size_t existed;
      if (Status deleted = delete_points(store, record.ids, existed); !deleted.ok()) return deleted;
    }
  }
  if (!status.ok()) return status;
  return apply_pending(store, pending);
}

}  // namespace tarnwick
