// Checks of the write-ahead log below the binding: CRC-32C against known values
// and its fast version against the portable one at every length and alignment;
// records that decode to what was encoded; every cut of a log ends in a clean
// or torn end and never in a wrong record; a damaged byte before the last
// record is corruption at that record's offset; and writers on several
// threads, with searches beside them, log exactly what they applied.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "index/metrics.h"
#include "persist/log_record.h"
#include "persist/write_ahead_log.h"
#include "storage/search.h"
#include "storage/store.h"
#include "util/crc32c.h"
#include "util/task_thread.h"

using namespace tarnwick;

namespace {

void check_crc32c() {
  const char digits[] = "123456789";
  CHECK(crc32c(digits, 9) == 0xE3069283u);
  CHECK(crc32c_extend_portable(0, digits, 9) == 0xE3069283u);
  std::string zeros(32, '\0');
  CHECK(crc32c(zeros.data(), zeros.size()) == 0x8A9136AAu);
  CHECK(crc32c_extend(crc32c(digits, 4), digits + 4, 5) == 0xE3069283u);
  Crc32cFunction fast = crc32c_sse42();
  std::printf("crc32c: %s\n", fast != nullptr ? "sse4.2 and portable" : "portable only");
  if (fast == nullptr) return;
  std::mt19937 random(7);
  std::vector<uint8_t> bytes(600);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  int mismatches = 0;
  for (size_t start = 0; start < 8; ++start) {
    for (size_t size = 0; size + start <= bytes.size(); ++size) {
      uint32_t seed = static_cast<uint32_t>(random());
      if (fast(seed, bytes.data() + start, size) != crc32c_extend_portable(seed, bytes.data() + start, size)) {
        ++mismatches;
      }
    }
  }
  CHECK(mismatches == 0);
}

// What a change did to a graph, with keys and counts at the edges of their codings.
const GraphDelta& sample_delta() {
  static const GraphDelta delta{
      {{UINT64_MAX, {{0, 127, 128}, {}, {1ull << 63}}}, {5, {{}}}},
      {{9, {UINT64_MAX}, {}}, {10, {}, {3, 4}}},
      {{11, 15, {7}}, {12, 1, {}}},
      UINT64_MAX,
      15,
  };
  return delta;
}

// A log of a few changes of every kind; `ends` receives where each record ends.
std::string sample_log(std::vector<size_t>& ends) {
  std::string log;
  put_log_header(log, LogHeader());
  std::vector<float> a = {1.0f, -2.5f, 3.0f};
  std::vector<float> b = {0.0f, 1e-30f, -0.0f};
  std::vector<std::span<const float>> vectors = {a, b};
  std::vector<std::unique_ptr<Payload>> payloads(2);
  payloads[1] = std::make_unique<Payload>(make_payload(
      {{"tenant_id", PayloadValue::from_text("t1")}, {"n", PayloadValue::from_integer(-5)},
       {"f", PayloadValue::from_float(0.25)}, {"long", PayloadValue::from_text(std::string(100, 'x'))}}));
  std::vector<uint64_t> ids = {7, UINT64_MAX};
  const Change changes[] = {
      {ChangeKind::Upsert, std::span(ids).first(1), std::span(vectors).first(1), std::span(payloads).first(1), 0},
      {ChangeKind::UpsertBatch, ids, vectors, payloads, 0},
      {ChangeKind::Delete, std::span(ids).last(1), {}, {}, 0},
      {ChangeKind::DeleteBatch, ids, {}, {}, 0},
      {ChangeKind::EfSearch, {}, {}, {}, 4096},
  };
  for (const Change& change : changes) {
    CHECK(put_log_record(log, change).ok());
    ends.push_back(log.size());
  }
  CHECK(put_log_links(log, nullptr).ok());
  ends.push_back(log.size());
  CHECK(put_log_links(log, &sample_delta()).ok());
  ends.push_back(log.size());
  return log;
}

void check_records_round_trip() {
  std::vector<size_t> ends;
  const std::string log = sample_log(ends);
  LogReader reader;
  CHECK(start_log_reader(log, reader).ok());
  LogRecord record;
  Status status;
  std::vector<LogRecord> records;
  while (next_log_record(reader, record, status)) records.push_back(std::move(record));
  CHECK(status.ok() && reader.torn_bytes == 0 && reader.offset == log.size());
  CHECK(records.size() == 7);
  if (records.size() != 7) return;
  CHECK(records[5].kind == ChangeKind::Links && !records[5].links);
  CHECK(records[6].kind == ChangeKind::Links && records[6].links && *records[6].links == sample_delta());
  CHECK(records[0].kind == ChangeKind::Upsert && records[0].ids == std::vector<uint64_t>{7});
  CHECK(records[0].values == (std::vector<float>{1.0f, -2.5f, 3.0f}) && !records[0].payloads[0]);
  CHECK(records[1].kind == ChangeKind::UpsertBatch && records[1].ends == (std::vector<size_t>{3, 6}));
  CHECK(records[1].values[4] == 1e-30f && std::signbit(records[1].values[5]));
  const Payload* payload = records[1].payloads[1].get();
  CHECK(payload != nullptr && payload->entries.size() == 4);
  if (payload != nullptr) {
    const PayloadValue* text = find_value(*payload, "long");
    CHECK(text != nullptr && text->kind == PayloadKind::Text && text->text == std::string(100, 'x'));
    const PayloadValue* number = find_value(*payload, "f");
    CHECK(number != nullptr && number->kind == PayloadKind::Float && number->number == 0.25);
  }
  CHECK(records[2].kind == ChangeKind::Delete && records[2].ids == std::vector<uint64_t>{UINT64_MAX});
  CHECK(records[3].kind == ChangeKind::DeleteBatch && records[3].ids.size() == 2);
  CHECK(records[4].kind == ChangeKind::EfSearch && records[4].ef_search == 4096);
  CHECK(records[3].offset == ends[2]);
}

// Counts the records a log decodes to; -1 on an error.
int decode_count(std::string_view log, LogReader& reader, Status& status) {
  status = start_log_reader(log, reader);
  if (!status.ok()) return -1;
  LogRecord record;
  int count = 0;
  while (next_log_record(reader, record, status)) ++count;
  return status.ok() ? count : -1;
}

void check_cuts_and_damage() {
  std::vector<size_t> ends;
  const std::string log = sample_log(ends);
  int wrong_cuts = 0;
  for (size_t cut = 0; cut < log.size(); ++cut) {
    LogReader reader;
    Status status;
    int count = decode_count(log.substr(0, cut), reader, status);
    // Every record that ends at or before the cut, and only those.
    int whole = 0;
    for (size_t end : ends) whole += end <= cut ? 1 : 0;
    if (count != whole || reader.offset + reader.torn_bytes != cut) ++wrong_cuts;
  }
  CHECK(wrong_cuts == 0);
  int wrong_flips = 0;
  for (size_t at = LOG_HEADER_BYTES; at < log.size(); ++at) {
    std::string damaged = log;
    damaged[at] ^= 0x20;
    LogReader reader;
    Status status;
    int count = decode_count(damaged, reader, status);
    size_t record = 0;
    while (ends[record] <= at) ++record;
    const size_t start = record == 0 ? LOG_HEADER_BYTES : ends[record - 1];
    if (record + 1 == ends.size()) {
      // The last record: a torn tail, dropped.
      if (count != static_cast<int>(record) || reader.torn_bytes != log.size() - start) ++wrong_flips;
    } else if (count != -1 || status.text().find("offset " + std::to_string(start)) == std::string::npos) {
      ++wrong_flips;
    }
  }
  CHECK(wrong_flips == 0);
  for (size_t at = 0; at < LOG_HEADER_BYTES; ++at) {
    std::string damaged = log;
    damaged[at] ^= 0x01;
    LogReader reader;
    Status status;
    CHECK(decode_count(damaged, reader, status) == -1 && status.kind() == Status::Kind::Corruption);
  }
}

// Writers on two threads and searches on two more, with a log open: a store
// that replays the log holds what the writers left.
void check_threads(const std::filesystem::path& directory) {
  const std::string path = (directory / "threads.log").string();
  std::filesystem::remove(path);
  Store store;
  CHECK(open_log(store, path, LogSync::Batch).ok());
  auto write = [&](uint64_t first) {
    for (uint64_t i = 0; i < 300; ++i) {
      std::vector<float> vector = {static_cast<float>(first + i), 1.0f, static_cast<float>(i % 7)};
      CHECK(upsert(store, (first + i) % 400, vector, nullptr).ok());
      size_t existed;
      if (i % 5 == 0) CHECK(delete_points(store, std::span(&i, 1), existed).ok());
    }
  };
  auto read = [&] {
    std::vector<float> query = {1.0f, 1.0f, 1.0f};
    for (int i = 0; i < 200; ++i) (void)search_points(store, query, 5, Metric::Euclidean, std::nullopt);
  };
  std::vector<std::thread> threads;
  threads.emplace_back(write, 0);
  threads.emplace_back(write, 150);
  threads.emplace_back(read);
  threads.emplace_back(read);
  for (std::thread& thread : threads) thread.join();
  CHECK(close_log(store).ok());
  Store replayed;
  CHECK(open_log(replayed, path, LogSync::None).ok());
  size_t different = 0;
  for (uint64_t id = 0; id < 400; ++id) {
    PointCopy live, again;
    bool in_live = get_point(store, id, live);
    bool in_replayed = get_point(replayed, id, again);
    if (in_live != in_replayed || (in_live && live.vector != again.vector)) ++different;
  }
  CHECK(point_count(store) == point_count(replayed));
  CHECK(different == 0);
  CHECK(close_log(replayed).ok());
}

}  // namespace

// A task thread runs what it is handed in order; after a task throws, later
// ones are dropped, drain rethrows the failure once, and tasks handed over
// after that run again; dropping the thread runs what is left first.
void check_task_thread() {
  std::vector<int> ran;
  {
    TaskThread thread;
    for (int i = 0; i < 200; ++i) thread.post([&ran, i] { ran.push_back(i); });
    thread.drain();
    CHECK(ran.size() == 200 && std::is_sorted(ran.begin(), ran.end()));
    thread.post([] { throw std::runtime_error("first"); });
    thread.post([&ran] { ran.push_back(-1); });
    bool thrown = false;
    try {
      thread.drain();
    } catch (const std::runtime_error& failure) {
      thrown = std::string(failure.what()) == "first";
    }
    CHECK(thrown);
    CHECK(ran.back() != -1);
    thread.drain();  // the failure was reported once
    for (int i = 200; i < 300; ++i) thread.post([&ran, i] { ran.push_back(i); });
  }
  CHECK(ran.size() == 300 && ran.back() == 299);
}

int main() {
  check_crc32c();
  check_records_round_trip();
  check_cuts_and_damage();
  check_task_thread();
  const auto directory = std::filesystem::temp_directory_path() / ("tarnwick-log-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(directory);
  check_threads(directory);
  std::filesystem::remove_all(directory);
  return tarnwick_test::finish_checks();
}
