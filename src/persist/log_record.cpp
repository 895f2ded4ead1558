// Encoding and decoding of log records: the header and checksums, the bodies
// in the snapshot's value coding, and the line between a torn tail and corruption.
#include "persist/log_record.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "index/hnsw.h"
#include "persist/coding.h"
#include "persist/payload_coding.h"
#include "util/crc32c.h"

namespace tarnwick {

namespace {

// The fewest bytes a point entry takes: id, dimension, option tag.
constexpr size_t MIN_POINT_BYTES = 3;

void store_u32(char* out, uint32_t value) {
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap32(value);
  std::memcpy(out, &value, sizeof value);
}

uint32_t load_u32(const char* in) {
  uint32_t value;
  std::memcpy(&value, in, sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap32(value);
  return value;
}

std::string at_offset(size_t offset) { return " at offset " + std::to_string(offset); }

// ---- Encoding ----

size_t point_size(uint64_t id, std::span<const float> vector, const Payload* payload) {
  size_t size = varint_length(id) + varint_length(vector.size()) + vector.size_bytes() + 1;
  if (payload != nullptr) {
    size += varint_length(payload->entries.size());
    for (const PayloadEntry& entry : payload->entries) {
      size += varint_length(entry.key.size()) + entry.key.size() + payload_value_size(entry.value);
    }
  }
  return size;
}

void put_point(Writer& out, uint64_t id, std::span<const float> vector, const Payload* payload) {
  put_varint(out, id);
  put_varint(out, vector.size());
  put_floats(out, vector);
  put_byte(out, payload != nullptr ? 1 : 0);
  if (payload == nullptr) return;
  put_varint(out, payload->entries.size());
  for (const PayloadEntry& entry : payload->entries) {
    put_text(out, entry.key);
    put_payload_value(out, entry.value);
  }
}

bool is_upsert(ChangeKind kind) { return kind == ChangeKind::Upsert || kind == ChangeKind::UpsertBatch; }
bool is_batch(ChangeKind kind) {
  return kind == ChangeKind::UpsertBatch || kind == ChangeKind::DeleteBatch;
}

size_t body_size(const Change& change) {
  if (change.kind == ChangeKind::EfSearch) return varint_length(change.ef_search);
  size_t size = is_batch(change.kind) ? varint_length(change.ids.size()) : 0;
  for (size_t i = 0; i < change.ids.size(); ++i) {
    size += is_upsert(change.kind)
                ? point_size(change.ids[i], change.vectors[i], change.payloads[i].get())
                : varint_length(change.ids[i]);
  }
  return size;
}

void put_body(Writer& out, const Change& change) {
  if (change.kind == ChangeKind::EfSearch) {
    put_varint(out, change.ef_search);
    return;
  }
  if (is_batch(change.kind)) put_varint(out, change.ids.size());
  for (size_t i = 0; i < change.ids.size(); ++i) {
    if (is_upsert(change.kind)) {
      put_point(out, change.ids[i], change.vectors[i], change.payloads[i].get());
    } else {
      put_varint(out, change.ids[i]);
    }
  }
}

// Passes every number of a Links body to `put`, in order.
template <typename Put>
void visit_links(const GraphDelta* delta, Put put) {
  put(delta != nullptr ? 1 : 0);
  if (delta == nullptr) return;
  auto list = [&](const std::vector<uint64_t>& keys) {
    put(keys.size());
    for (uint64_t key : keys) put(key);
  };
  put(delta->nodes.size());
  for (const DeltaNode& node : delta->nodes) {
    put(node.key);
    put(node.lists.size());
    for (const std::vector<uint64_t>& keys : node.lists) list(keys);
  }
  put(delta->edits.size());
  for (const DeltaEdit& edit : delta->edits) {
    put(edit.owner);
    list(edit.removed);
    list(edit.added);
  }
  put(delta->upper.size());
  for (const DeltaList& upper : delta->upper) {
    put(upper.owner);
    put(upper.layer);
    list(upper.list);
  }
  put(delta->entry_point ? 1 : 0);
  if (delta->entry_point) put(*delta->entry_point);
  put(delta->max_level);
}

// ---- Decoding ----

// A count of items that take at least one byte each.
bool get_count(Reader& in, uint64_t& count) {
  if (!get_varint(in, count)) return false;
  if (count > in.left()) return in.fail(DecodeError::EndOfInput);
  return true;
}

bool get_keys(Reader& in, std::vector<uint64_t>& keys) {
  uint64_t count;
  if (!get_count(in, count)) return false;
  keys.resize(count);
  for (uint64_t& key : keys) {
    if (!get_varint(in, key)) return false;
  }
  return true;
}

// The content of a Links body; the text of what is wrong with it, or empty.
std::string get_links(Reader& in, LogRecord& record) {
  bool present;
  if (!get_option_tag(in, present)) return decode_error_message(in.error);
  if (!present) return std::string();
  GraphDelta& delta = record.links.emplace();
  uint64_t count;
  bool decoded = get_count(in, count);
  if (decoded) delta.nodes.resize(count);
  for (size_t i = 0; decoded && i < delta.nodes.size(); ++i) {
    DeltaNode& node = delta.nodes[i];
    uint64_t lists;
    decoded = get_varint(in, node.key) && get_count(in, lists);
    if (decoded && (lists == 0 || lists > MAX_LAYERS)) return "a node of " + std::to_string(lists) + " layers";
    if (decoded) node.lists.resize(lists);
    for (size_t layer = 0; decoded && layer < node.lists.size(); ++layer) decoded = get_keys(in, node.lists[layer]);
  }
  if (decoded) decoded = get_count(in, count);
  if (decoded) delta.edits.resize(count);
  for (size_t i = 0; decoded && i < delta.edits.size(); ++i) {
    DeltaEdit& edit = delta.edits[i];
    decoded = get_varint(in, edit.owner) && get_keys(in, edit.removed) && get_keys(in, edit.added);
  }
  if (decoded) decoded = get_count(in, count);
  if (decoded) delta.upper.resize(count);
  for (size_t i = 0; decoded && i < delta.upper.size(); ++i) {
    DeltaList& upper = delta.upper[i];
    uint64_t layer = 0;
    decoded = get_varint(in, upper.owner) && get_varint(in, layer);
    if (decoded && (layer == 0 || layer >= MAX_LAYERS)) return "an upper list of layer " + std::to_string(layer);
    upper.layer = static_cast<uint32_t>(layer);
    if (decoded) decoded = get_keys(in, upper.list);
  }
  if (decoded) decoded = get_option_tag(in, present);
  if (decoded && present) decoded = get_varint(in, delta.entry_point.emplace());
  if (decoded) decoded = get_varint(in, delta.max_level);
  if (!decoded) return decode_error_message(in.error);
  return std::string();
}

bool get_point(Reader& in, LogRecord& record) {
  uint64_t id;
  uint64_t dimension;
  bool present;
  if (!get_varint(in, id) || !get_varint(in, dimension)) return false;
  if (dimension > MAX_DIMENSION) return in.fail(DecodeError::VectorTooLong);
  if (dimension > in.left() / sizeof(float)) return in.fail(DecodeError::EndOfInput);
  size_t begin = record.values.size();
  record.values.resize(begin + dimension);
  copy_floats(in, record.values.data() + begin, dimension);
  record.ends.push_back(record.values.size());
  record.ids.push_back(id);
  if (!get_option_tag(in, present)) return false;
  std::unique_ptr<Payload>& payload = record.payloads.emplace_back();
  if (!present) return true;
  uint64_t count;
  if (!get_varint(in, count)) return false;
  // Each entry takes at least an empty key, a variant and one byte of value.
  if (count > in.left() / 3) return in.fail(DecodeError::EndOfInput);
  std::vector<PayloadEntry> entries(count);
  for (PayloadEntry& entry : entries) {
    std::string_view key;
    if (!get_text(in, key)) return false;
    entry.key.assign(key);
    if (!get_payload_value(in, entry.value)) return false;
  }
  // A log written by a store holds each payload's keys once, in order; other
  // bytes are put in the order a payload keeps.
  payload = std::make_unique<Payload>(make_payload(std::move(entries)));
  return true;
}

// Decodes a body whose checksums held; the text of what is wrong with it, or
// an empty text.
std::string decode_body(ChangeKind kind, std::string_view body, LogRecord& record) {
  Reader in(body);
  uint64_t count = 1;
  bool decoded = true;
  if (kind == ChangeKind::Links) {
    std::string wrong = get_links(in, record);
    if (!wrong.empty()) return wrong;
  } else if (kind == ChangeKind::EfSearch) {
    decoded = get_varint(in, record.ef_search);
    if (decoded && (record.ef_search < 1 || record.ef_search > MAX_EF_SEARCH)) {
      return "ef_search " + std::to_string(record.ef_search) + " is out of range";
    }
  } else {
    if (is_batch(kind)) decoded = get_varint(in, count);
    size_t least = is_upsert(kind) ? MIN_POINT_BYTES : 1;
    if (decoded && count > in.left() / least) decoded = in.fail(DecodeError::EndOfInput);
    if (decoded) record.ids.reserve(count);
    for (uint64_t i = 0; decoded && i < count; ++i) {
      if (is_upsert(kind)) {
        decoded = get_point(in, record);
      } else {
        decoded = get_varint(in, record.ids.emplace_back());
      }
    }
  }
  if (!decoded) return decode_error_message(in.error);
  if (in.left() != 0) return "bytes left after the record's content";
  return std::string();
}

enum class RecordCheck { Whole, Bad, Torn };

// Whether a whole record (both checksums holding) starts at `offset`; Torn
// when its header holds but its body runs past the end of the file.
RecordCheck check_record(std::string_view file, size_t offset, uint32_t& length) {
  if (file.size() - offset < RECORD_HEADER_BYTES) return RecordCheck::Torn;
  const char* header = file.data() + offset;
  if (load_u32(header + 5) != mask_crc(crc32c(header, 5))) return RecordCheck::Bad;
  length = load_u32(header);
  if (length > file.size() - offset - RECORD_HEADER_BYTES) return RecordCheck::Torn;
  const char* body = header + RECORD_HEADER_BYTES;
  if (load_u32(header + 9) != mask_crc(crc32c(body, length))) return RecordCheck::Bad;
  return RecordCheck::Whole;
}

// Whether a whole record starts anywhere after `offset`.
bool whole_record_after(std::string_view file, size_t offset) {
  uint32_t length;
  for (size_t at = offset + 1; at + RECORD_HEADER_BYTES <= file.size(); ++at) {
    if (check_record(file, at, length) == RecordCheck::Whole) return true;
  }
  return false;
}

void store_u64(char* out, uint64_t value) {
  store_u32(out, static_cast<uint32_t>(value));
  store_u32(out + 4, static_cast<uint32_t>(value >> 32));
}

uint64_t load_u64(const char* in) { return load_u32(in) | (uint64_t{load_u32(in + 4)} << 32); }

void fill_header(char* out, const LogHeader& header) {
  std::memcpy(out, LOG_MAGIC, sizeof LOG_MAGIC);
  store_u32(out + 8, LOG_VERSION);
  store_u32(out + 12, header.flags);
  store_u64(out + 16, header.generation);
  store_u64(out + 24, header.snapshot.length);
  store_u32(out + 32, header.snapshot.crc);
  store_u32(out + LOG_HEADER_CHECKSUM_AT, mask_crc(crc32c(out, LOG_HEADER_CHECKSUM_AT)));
}

// Appends a record of `kind` whose body of `body` bytes `fill` writes.
template <typename Fill>
Status put_record(std::string& out, ChangeKind kind, size_t body, Fill fill) {
  if (body > MAX_RECORD_BODY) {
    return Status::IOError("a change of " + std::to_string(body) +
                           " bytes is more than one log record holds (" +
                           std::to_string(MAX_RECORD_BODY) + ")");
  }
  const size_t start = out.size();
  out.resize(start + RECORD_HEADER_BYTES + body);
  char* header = out.data() + start;
  Writer writer{header + RECORD_HEADER_BYTES};
  fill(writer);
  store_u32(header, static_cast<uint32_t>(body));
  header[4] = static_cast<char>(kind);
  store_u32(header + 5, mask_crc(crc32c(header, 5)));
  store_u32(header + 9, mask_crc(crc32c(header + RECORD_HEADER_BYTES, body)));
  return Status::Ok();
}

}  // namespace

void put_log_header(std::string& out, const LogHeader& header) {
  char bytes[LOG_HEADER_BYTES];
  fill_header(bytes, header);
  out.append(bytes, sizeof bytes);
}

Status put_log_record(std::string& out, const Change& change) {
  return put_record(out, change.kind, body_size(change), [&](Writer& writer) { put_body(writer, change); });
}

Status put_log_links(std::string& out, const GraphDelta* delta) {
  size_t body = 0;
  visit_links(delta, [&](uint64_t value) { body += varint_length(value); });
  return put_record(out, ChangeKind::Links, body,
                    [&](Writer& writer) { visit_links(delta, [&](uint64_t value) { put_varint(writer, value); }); });
}

Status start_log_reader(std::string_view file, LogReader& reader) {
  reader = LogReader{file, LogHeader(), 0, 0, 0};
  const size_t magic_seen = std::min(file.size(), sizeof LOG_MAGIC);
  if (std::memcmp(file.data(), LOG_MAGIC, magic_seen) != 0) {
    return Status::Corruption("not a log file: its first bytes are not a log's" + at_offset(0));
  }
  uint32_t version = file.size() >= 12 ? load_u32(file.data() + 8) : LOG_VERSION;
  if (version != LOG_VERSION && version != FIRST_LOG_VERSION) {
    return Status::Corruption("log version " + std::to_string(version) + at_offset(8) +
                              " is not one this build reads (" + std::to_string(FIRST_LOG_VERSION) +
                              " to " + std::to_string(LOG_VERSION) + ")");
  }
  const size_t header_bytes = version == LOG_VERSION ? LOG_HEADER_BYTES : FIRST_LOG_HEADER_BYTES;
  const size_t checksum_at = header_bytes - 4;
  if (file.size() < header_bytes) {
    // Cut within the header: a log whose creation a crash interrupted.
    reader.torn_bytes = file.size();
    reader.file = file.substr(0, 0);
    return Status::Ok();
  }
  if (load_u32(file.data() + checksum_at) != mask_crc(crc32c(file.data(), checksum_at))) {
    return Status::Corruption("log header checksum mismatch" + at_offset(checksum_at));
  }
  LogHeader& header = reader.header;
  header.version = version;
  header.bytes = header_bytes;
  if (version == LOG_VERSION) {
    header.flags = load_u32(file.data() + 12);
    header.generation = load_u64(file.data() + 16);
    header.snapshot.length = load_u64(file.data() + 24);
    header.snapshot.crc = load_u32(file.data() + 32);
  }
  reader.offset = header_bytes;
  return Status::Ok();
}

bool next_log_record(LogReader& reader, LogRecord& record, Status& status) {
  status = Status::Ok();
  const std::string_view file = reader.file;
  const size_t offset = reader.offset;
  if (offset == file.size()) return false;
  uint32_t length = 0;
  RecordCheck check = check_record(file, offset, length);
  if (check == RecordCheck::Bad && whole_record_after(file, offset)) {
    status = Status::Corruption("log record checksum mismatch" + at_offset(reader.base + offset) +
                                ", with whole records after it");
    return false;
  }
  if (check != RecordCheck::Whole) {
    reader.torn_bytes = file.size() - offset;
    return false;
  }
  const uint8_t kind = static_cast<uint8_t>(file[offset + 4]);
  if (kind < static_cast<uint8_t>(ChangeKind::Upsert) || kind > static_cast<uint8_t>(ChangeKind::Links)) {
    status = Status::Corruption("log record of unknown kind " + std::to_string(kind) + at_offset(reader.base + offset));
    return false;
  }
  record = LogRecord();
  record.kind = static_cast<ChangeKind>(kind);
  record.offset = reader.base + offset;
  std::string wrong =
      decode_body(record.kind, file.substr(offset + RECORD_HEADER_BYTES, length), record);
  if (!wrong.empty()) {
    status = Status::Corruption("log record does not decode" + at_offset(reader.base + offset) + ": " + wrong);
    return false;
  }
  reader.offset = offset + RECORD_HEADER_BYTES + length;
  return true;
}

LogReader log_reader_at(std::string_view bytes, size_t base, const LogHeader& header) {
  return LogReader{bytes, header, 0, 0, base};
}

}  // namespace tarnwick
