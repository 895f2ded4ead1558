// libFuzzer entry for the snapshot decoder: any input either fails with one of
// the decoder's errors or decodes to a state that encodes to a file no longer
// than the input (each key once, shortest varints, no trailing bytes) and
// decodes again to a state of the same encoded size. The decoded state is then
// installed in a store, which takes one insertion and one search: decoding, and
// the insertion with the search, must each take at most TIME_BUDGET of the
// thread's processor time (a second try is given), so a quadratic walk over a
// crafted file is a finding as a crash is (and a hang is one by libFuzzer's
// -timeout).
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "persist/snapshot.h"
#include "persist/snapshot_file.h"
#include "storage/search.h"
#include "storage/store.h"

namespace {

using namespace tarnwick;

// Processor time of the calling thread: other processes on a busy machine do
// not count against the budget, as they would with a wall clock.
struct ThreadClock {
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<ThreadClock>;
  static time_point now() {
    timespec spent;
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &spent);
    return time_point(std::chrono::seconds(spent.tv_sec) + std::chrono::nanoseconds(spent.tv_nsec));
  }
};
using Clock = ThreadClock;

// Inputs are at most 64 KiB: with the sanitizers, the seeds' insertions and
// searches take at most 10 ms of processor time and their decoding 8 ms, while a
// shrink that searches a list for each of its 8,000 entries (the most points
// such an input holds) takes 270 ms. The first change after a load also makes
// the graph's link bookkeeping, linear in its links: up to about 110 ms for the
// largest inputs on a busy machine. A quadratic case costs seconds.
constexpr std::chrono::milliseconds TIME_BUDGET{250};

// Runs `work` (which returns the processor time of the part it measured) and
// aborts when that part takes more than TIME_BUDGET twice running: one overrun
// can be a busy machine (a sibling thread on the core, page reclaim), while a
// quadratic case overruns every time.
template <typename Work>
void within_budget(const char* what, Work&& work) {
  for (int attempt = 0;; ++attempt) {
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(work());
    if (spent <= TIME_BUDGET) return;
    if (attempt == 1) {
      std::fprintf(stderr, "%s took %lld ms, more than the budget of %lld ms, twice\n", what,
                   static_cast<long long>(spent.count()),
                   static_cast<long long>(TIME_BUDGET.count()));
      std::abort();
    }
  }
}

// The record a crafted file most likely aims at: the entry point's, else the first one.
uint32_t target_slot(const Store& store) {
  if (store.graph.entry_point) {
    uint32_t slot = find_slot(store.points, *store.graph.entry_point);
    if (has_record(store.points, slot)) return slot;
  }
  for (uint32_t slot = 0; slot < slot_count(store.points); ++slot) {
    if (has_record(store.points, slot)) return slot;
  }
  return NO_SLOT;
}

// One insertion and one search shaped by the state and the input's last byte:
// a new id or the target's own (a replacement), the target's dimension, with or
// without the target's tenant, and one of the three metrics. Returns the
// processor time of the pair.
ThreadClock::duration insert_and_search(Store& store, uint8_t choice) {
  uint32_t slot = target_slot(store);
  uint64_t id = UINT64_MAX - 1;
  size_t dim = 4;
  std::string tenant;
  if (slot != NO_SLOT) {
    const SlotRecord& target = store.points.records[slot];
    if (choice & 1) id = target.key;
    dim = point_vector(store.points, slot).size();
    if (target.payload && (choice & 2)) {
      for (const PayloadEntry& entry : target.payload->entries) {
        if (entry.key == "tenant_id" && entry.value.is_text()) tenant = entry.value.text;
      }
    }
  }
  std::vector<float> vector(dim);
  for (size_t i = 0; i < dim; ++i) vector[i] = 0.25f * static_cast<float>(i % 7) - 0.5f;
  std::unique_ptr<Payload> payload;
  if (!tenant.empty()) {
    payload = std::make_unique<Payload>(
        make_payload({PayloadEntry{"tenant_id", PayloadValue::keyword(tenant)}}));
  }
  const Metric metrics[] = {Metric::Cosine, Metric::DotProduct, Metric::Euclidean};
  Clock::time_point start = Clock::now();
  if (!upsert(store, id, vector, std::move(payload)).ok()) std::abort();
  std::optional<std::string_view> filter;
  if (!tenant.empty() && (choice & 4)) filter = tenant;
  Metric metric = metrics[(choice >> 3) % 3];
  if (search_points(store, vector, 10, metric, filter).size() > 10) std::abort();
  return Clock::now() - start;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  auto state = std::make_unique<SnapshotState>();
  Status status;
  auto decode = [&] {
    state = std::make_unique<SnapshotState>();
    Clock::time_point start = Clock::now();
    status = decode_snapshot(input, *state);
    return Clock::now() - start;
  };
  within_budget("decoding", decode);
  if (!status.ok()) {
    if (status.kind() != Status::Kind::Corruption || status.text().empty()) std::abort();
    return 0;
  }
  ByteBuffer encoded = encode_snapshot(state->points, state->graph);
  if (encoded.size() > size) std::abort();
  SnapshotState again;
  if (!decode_snapshot(encoded.view(), again).ok()) std::abort();
  if (encode_snapshot(again.points, again.graph).size() != encoded.size()) std::abort();

  bool first = true;
  within_budget("one insertion and one search", [&] {
    if (!first) decode();  // a fresh state for the second attempt
    first = false;
    Store store;
    install_state(store, std::move(*state));
    return insert_and_search(store, size == 0 ? 0 : data[size - 1]);
  });
  return 0;
}
