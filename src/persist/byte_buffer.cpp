#include "persist/byte_buffer.h"

#include <sys/mman.h>

#include <cstring>
#include <new>
#include <utility>

namespace tarnwick {

namespace {

// Below this size the ordinary allocator serves the buffer.
constexpr size_t MAP_THRESHOLD = size_t{4} << 20;

}  // namespace

ByteBuffer::ByteBuffer(size_t capacity, PagePlacement placement) {
  if (capacity >= MAP_THRESHOLD) {
    // The buffer is about to be filled whole: one populated mapping costs less than a
    // page fault for each page.
    const int populate = placement == PagePlacement::AtOnce ? MAP_POPULATE : 0;
    void* place = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | populate, -1, 0);
    if (place == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<char*>(place);
    mapped_ = true;
  } else if (capacity > 0) {
    data_ = new char[capacity];
  }
  capacity_ = capacity;
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() { release(); }

void ByteBuffer::release() {
  if (mapped_) {
    ::munmap(data_, capacity_);
  } else {
    delete[] data_;
  }
  data_ = nullptr;
  size_ = capacity_ = 0;
  mapped_ = false;
}

void ByteBuffer::reallocate(size_t new_capacity) {
  ByteBuffer larger(new_capacity);
  if (size_ != 0) std::memcpy(larger.data_, data_, size_);
  larger.size_ = size_;
  *this = std::move(larger);
}

}  // namespace tarnwick
