// The bytes of a write-ahead log: a file header naming the format and its
// version, then one record per change. The header of version 2 is
//   magic (8) | version (u32) | flags (u32) | generation (u64) |
//   snapshot length (u64) | snapshot CRC-32C (u32) | header checksum (u32)
// where the generation counts the logs a store started one after another, flag
// CONTINUES_PREVIOUS says the log starts where the one before it ended (a
// checkpoint), and the snapshot fields name the snapshot file the log's
// records apply to (length 0: not known). Version 1 logs, whose header is the
// magic, the version and its checksum, still read: generation 0, snapshot not
// known. A record is
//   body length (u32) | kind (u8) | header checksum (u32) | body checksum (u32) | body
// all little-endian, each checksum a masked CRC-32C: the header's of the five
// bytes before it, the body's of the body. Bodies use the snapshot's value
// coding (varints, little-endian floats, option tags, texts, payload values):
//   Upsert       point
//   UpsertBatch  count, then that many points
//   Delete       id
//   DeleteBatch  count, then that many ids
//   EfSearch     value
//   Links        an option tag, then when present what the change before it
//                did to the graph: the placed nodes (count, then each key,
//                its list count and its lists), the edited layer-0 lists
//                (count, then each owner, the entries removed and those
//                added, each a count and keys), the upper lists given whole
//                (count, then each owner, layer and list), the entry point
//                (option tag, key) and the top level; a list is its length
//                and its keys
// where a point is id, dimension, the floats, and an option tag followed, when
// present, by the payload's entry count and its (key, value) entries. A log
// whose header has flag LINKS_FOLLOW is written by a store that follows each
// change of the graph (upserts, deletes) with its Links record once the change
// has applied; absent or without content, readers link the change themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/store.h"
#include "table/payload.h"
#include "util/status.h"

namespace tarnwick {

inline constexpr char LOG_MAGIC[8] = {'\x89', 'T', 'W', 'L', 'O', 'G', '\r', '\n'};
inline constexpr uint32_t LOG_VERSION = 2;
inline constexpr uint32_t FIRST_LOG_VERSION = 1;
// The header of version 2; each field's offset in it.
inline constexpr size_t LOG_HEADER_BYTES = 40;
inline constexpr size_t LOG_HEADER_CHECKSUM_AT = 36;
// Version 1: magic, version, and the masked CRC-32C of those twelve bytes.
inline constexpr size_t FIRST_LOG_HEADER_BYTES = 16;
inline constexpr size_t RECORD_HEADER_BYTES = 13;
inline constexpr uint64_t MAX_RECORD_BODY = UINT32_MAX;
inline constexpr uint32_t CONTINUES_PREVIOUS = 1;
inline constexpr uint32_t LINKS_FOLLOW = 2;

// What a log's header says about where its records belong.
struct LogHeader {
  uint32_t version = LOG_VERSION;
  uint32_t flags = 0;
  uint64_t generation = 0;
  SnapshotIdentity snapshot;  // length 0: not known
  size_t bytes = LOG_HEADER_BYTES;  // where its first record starts
  bool continues_previous() const { return (flags & CONTINUES_PREVIOUS) != 0; }
  bool links_follow() const { return (flags & LINKS_FOLLOW) != 0; }
};

// Appends a version 2 file header.
void put_log_header(std::string& out, const LogHeader& header);

// Appends the record of one change. IOError when its body would be larger
// than a record holds (MAX_RECORD_BODY); `out` is then as it was.
Status put_log_record(std::string& out, const Change& change);

// Appends a Links record; null: the change's lists are not known. IOError as
// put_log_record.
Status put_log_links(std::string& out, const GraphDelta* delta);

// Whether records of this kind change the graph (and so may be followed by Links).
inline bool changes_graph(ChangeKind kind) {
  return kind == ChangeKind::Upsert || kind == ChangeKind::UpsertBatch || kind == ChangeKind::Delete ||
         kind == ChangeKind::DeleteBatch;
}

// One decoded record; it owns what it holds.
struct LogRecord {
  ChangeKind kind = ChangeKind::Upsert;
  std::vector<uint64_t> ids;
  std::vector<float> values;  // the upserts' vectors, back to back
  std::vector<size_t> ends;   // vector i is values[ends[i-1] .. ends[i])
  std::vector<std::unique_ptr<Payload>> payloads;  // one per upserted id, null for none
  uint64_t ef_search = 0;
  std::optional<GraphDelta> links;  // Links: what it holds, if anything
  size_t offset = 0;  // where the record starts in the file (base included)
};

// A pass over a log file's bytes.
struct LogReader {
  std::string_view file;
  LogHeader header;       // once started: what the file's header says
  size_t offset = 0;      // where the next record starts
  size_t torn_bytes = 0;  // once the records end: the bytes after the last whole one, dropped
  size_t base = 0;        // the offset in the file of file[0], for the offsets errors name
};

// Checks the file header, reads it into reader.header and places the reader
// after it. An empty file, and a file cut short within a header whose magic and
// version are all right so far, hold no records: the reader is placed at 0 with
// every byte torn. Corruption naming
// the offset for a file that is no log, a log of an unknown version, or a
// header that fails its checksum.
Status start_log_reader(std::string_view file, LogReader& reader);

// Reads the next record into `record` and returns true. At the end of the
// records returns false with `status` Ok: the reader's offset is then where the
// whole records end, and torn_bytes counts what follows. A bad record after
// which no whole record follows is a torn tail, cut by a crash while it was
// written; a bad record with a whole one after it, or a whole record that
// does not decode, returns false with Corruption naming its offset.
bool next_log_record(LogReader& reader, LogRecord& record, Status& status);

// A reader of the records in `bytes`, the part of a log file from `base` on
// (which starts at a record), whose header was read before.
LogReader log_reader_at(std::string_view bytes, size_t base, const LogHeader& header);

}  // namespace tarnwick
