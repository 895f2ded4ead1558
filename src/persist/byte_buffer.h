// An uninitialised byte buffer that holds a whole snapshot file in memory.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarnwick {

// Owns `capacity` bytes, of which the first `size` are content; nothing is
// zero-filled, since every byte is written before it is read. Large buffers
// are mapped directly, so dropping one returns its memory to the system at
// once. (Huge pages were tried: the kernel's compaction for the first one can
// stall a save for longer than all the page faults they save.)
// Allocation failure throws std::bad_alloc.
// When a large buffer's pages are made present: all at once as it is made, or
// as they are first written (by a thread that fills the buffer step by step,
// so that the caller does not wait for pages it will only read later).
enum class PagePlacement { AtOnce, OnFirstWrite };

class ByteBuffer {
 public:
  ByteBuffer() = default;
  explicit ByteBuffer(size_t capacity, PagePlacement placement = PagePlacement::AtOnce);
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  char* data() { return data_; }
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  void set_size(size_t size) { size_ = size; }
  std::string_view view() const { return {data_, size_}; }

  // Moves the content into a buffer of new_capacity (at least size()) bytes.
  void reallocate(size_t new_capacity);
  void release();

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool mapped_ = false;
};

}  // namespace tarnwick
