// Checks that need more than Python can hand over: inputs of 2^32 or more
// components. A reserved mapping of 16 GiB stands in for them; only its first
// page is ever touched, so the checks also show that nothing reads or copies
// the components before refusing them.
#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "persist/snapshot.h"
#include "storage/store.h"
#include "check.h"

using namespace tarnwick;

namespace {

constexpr size_t HUGE_FLOATS = (size_t{1} << 32) + 1;
constexpr size_t HUGE_BYTES = HUGE_FLOATS * sizeof(float) + 64;

// Zero pages mapped on demand; never written past the first page.
struct Reserved {
  char* data = nullptr;
  Reserved() {
    void* place = ::mmap(nullptr, HUGE_BYTES, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (place != MAP_FAILED) data = static_cast<char*>(place);
  }
  ~Reserved() {
    if (data != nullptr) ::munmap(data, HUGE_BYTES);
  }
};

size_t put_varint(char* out, uint64_t value) {
  size_t n = 0;
  while (value >= 0x80) {
    out[n++] = static_cast<char>(value | 0x80);
    value >>= 7;
  }
  out[n++] = static_cast<char>(value);
  return n;
}

void decoding_refuses_a_vector_of_2_32_components(const Reserved& input) {
  for (uint64_t dim : {uint64_t{1} << 32, (uint64_t{1} << 32) + 1}) {
    // Point count 1, key 1, id 1, then the dimension; the components are zero pages.
    size_t head = put_varint(input.data, 1);
    head += put_varint(input.data + head, 1);
    head += put_varint(input.data + head, 1);
    head += put_varint(input.data + head, dim);
    SnapshotState state;
    Status status = decode_snapshot(std::string_view(input.data, HUGE_BYTES), state);
    CHECK(status.kind() == Status::Kind::Corruption);
    CHECK(status.text() == decode_error_message(DecodeError::VectorTooLong));
    CHECK(state.points.record_count == 0);
  }
  // A dimension that the input cannot cover fails on the input's end first.
  std::memset(input.data, 0, 16);
  size_t head = put_varint(input.data, 1);
  head += put_varint(input.data + head, 1);
  head += put_varint(input.data + head, 1);
  head += put_varint(input.data + head, uint64_t{1} << 40);
  SnapshotState state;
  Status status = decode_snapshot(std::string_view(input.data, HUGE_BYTES), state);
  CHECK(status.text() == decode_error_message(DecodeError::EndOfInput));
}

void upsert_refuses_a_vector_of_2_32_components(const Reserved& input) {
  Store store;
  std::vector<float> small = {1.0f, 2.0f};
  CHECK(upsert(store, 7, small, nullptr).ok());
  const float* floats = reinterpret_cast<const float*>(input.data);
  for (size_t length : {HUGE_FLOATS - 1, HUGE_FLOATS}) {
    Status status = upsert(store, 7, std::span<const float>(floats, length), nullptr);
    CHECK(status.kind() == Status::Kind::InvalidArgument);
    CHECK(status.text().find("4294967295") != std::string::npos);
  }
  // The store is as it was: the earlier vector is still there, whole.
  uint32_t slot = find_slot(store.points, 7);
  CHECK(has_record(store.points, slot) && point_vector(store.points, slot).size() == 2);
  CHECK(store.points.record_count == 1 && store.graph.node_count == 1);
}

}  // namespace

int main() {
  Reserved input;
  if (input.data == nullptr) {
    std::printf("cannot reserve 16 GiB of address space\n");
    return 2;
  }
  decoding_refuses_a_vector_of_2_32_components(input);
  upsert_refuses_a_vector_of_2_32_components(input);
  return tarnwick_test::finish_checks();
}
