// libFuzzer entry for the log decoder: any input either fails with Corruption
// naming an offset, or decodes to records followed by a clean end or a torn
// tail that together cover the input exactly. Each decoded record encodes to no
// more bytes than it came from (shortest varints, each payload key once) and
// decodes again to the same record; the records then apply to a store, as a
// replay does, followed by one search.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "persist/log_record.h"
#include "storage/search.h"
#include "storage/store.h"

namespace {

using namespace tarnwick;

constexpr size_t MAX_APPLIED = 2000;

// The change a decoded record describes; `vectors` holds its spans.
Change change_of(const LogRecord& record, std::vector<std::span<const float>>& vectors) {
  vectors.clear();
  for (size_t i = 0; i < record.ends.size(); ++i) {
    size_t begin = i == 0 ? 0 : record.ends[i - 1];
    vectors.emplace_back(record.values.data() + begin, record.ends[i] - begin);
  }
  return Change{record.kind, record.ids, vectors, record.payloads, record.ef_search};
}

bool same_payload(const Payload* a, const Payload* b) {
  if ((a == nullptr) != (b == nullptr)) return false;
  if (a == nullptr) return true;
  if (a->entries.size() != b->entries.size()) return false;
  for (size_t i = 0; i < a->entries.size(); ++i) {
    const PayloadValue& x = a->entries[i].value;
    const PayloadValue& y = b->entries[i].value;
    if (a->entries[i].key != b->entries[i].key || x.kind != y.kind || x.text != y.text) return false;
    if (x.kind == PayloadKind::Integer && x.integer != y.integer) return false;
    if (x.kind == PayloadKind::Float && std::bit_cast<uint64_t>(x.number) != std::bit_cast<uint64_t>(y.number)) {
      return false;
    }
  }
  return true;
}

bool same_record(const LogRecord& a, const LogRecord& b) {
  if (a.kind != b.kind || a.ids != b.ids || a.ends != b.ends || a.ef_search != b.ef_search) return false;
  if (a.values.size() != b.values.size() || a.payloads.size() != b.payloads.size()) return false;
  for (size_t i = 0; i < a.values.size(); ++i) {
    if (std::bit_cast<uint32_t>(a.values[i]) != std::bit_cast<uint32_t>(b.values[i])) return false;
  }
  for (size_t i = 0; i < a.payloads.size(); ++i) {
    if (!same_payload(a.payloads[i].get(), b.payloads[i].get())) return false;
  }
  return true;
}

void apply(Store& store, const LogRecord& record, const Change& change) {
  size_t existed;
  switch (record.kind) {
    case ChangeKind::Upsert:
    case ChangeKind::UpsertBatch: {
      std::vector<std::unique_ptr<Payload>> payloads;
      for (const auto& payload : record.payloads) {
        payloads.push_back(payload ? std::make_unique<Payload>(*payload) : nullptr);
      }
      if (!upsert_batch(store, record.ids, change.vectors, payloads).ok()) std::abort();
      break;
    }
    case ChangeKind::Delete:
    case ChangeKind::DeleteBatch:
      if (!delete_points(store, record.ids, existed).ok()) std::abort();
      break;
    case ChangeKind::EfSearch:
      if (!set_ef_search(store, record.ef_search).ok()) std::abort();
      break;
    case ChangeKind::Links:
      break;  // lists a follower installs; a replay onto its own graph links afresh
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  LogReader reader;
  Status status = start_log_reader(input, reader);
  auto check_error = [&] {
    if (status.kind() != Status::Kind::Corruption || status.text().find("offset") == std::string::npos) {
      std::abort();
    }
  };
  if (!status.ok()) {
    check_error();
    return 0;
  }
  Store store;
  size_t applied = 0;
  LogRecord record;
  std::vector<std::span<const float>> vectors;
  while (next_log_record(reader, record, status)) {
    const size_t original = reader.offset - record.offset;
    const Change change = change_of(record, vectors);
    std::string encoded;
    const GraphDelta* delta = record.links ? &*record.links : nullptr;
    const Status put = record.kind == ChangeKind::Links ? put_log_links(encoded, delta)
                                                        : put_log_record(encoded, change);
    if (!put.ok() || encoded.size() > original) std::abort();
    std::string file;
    put_log_header(file, reader.header);
    file += encoded;
    LogReader again;
    LogRecord decoded;
    Status again_status;
    if (!start_log_reader(file, again).ok() || !next_log_record(again, decoded, again_status)) std::abort();
    if (!same_record(record, decoded) || record.links != decoded.links) std::abort();
    // Replaying is the store's own work, checked elsewhere; a few thousand
    // points show that what decodes applies.
    applied += record.ids.size();
    if (applied <= MAX_APPLIED) apply(store, record, change);
  }
  if (!status.ok()) {
    check_error();
    return 0;
  }
  if (reader.offset + reader.torn_bytes != size) std::abort();
  std::vector<float> query(4, 0.5f);
  (void)search_points(store, query, 10, Metric::Euclidean, std::nullopt);
  return 0;
}
