// libFuzzer entry for the snapshot decoder: any input either fails with one of
// the decoder's errors or decodes to a state that encodes to a file no longer
// than the input (each key once, shortest varints, no trailing bytes) and
// decodes again to a state of the same encoded size.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "persist/snapshot.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  SnapshotState state;
  DecodeError error = decode_snapshot(input, state);
  if (error != DecodeError::None) {
    if (decode_error_message(error)[0] == '\0') std::abort();
    return 0;
  }
  ByteBuffer encoded = encode_snapshot(state.points, state.graph);
  if (encoded.size() > size) std::abort();
  SnapshotState again;
  if (decode_snapshot(encoded.view(), again) != DecodeError::None) std::abort();
  if (encode_snapshot(again.points, again.graph).size() != encoded.size()) std::abort();
  return 0;
}
