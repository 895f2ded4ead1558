// An array of trivial elements in pages of its own: a large temporary array
// whose memory goes back to the system when it is dropped, instead of staying
// in the allocator's heaps (which, once large blocks have been freed, serve
// blocks of this size from the heap and keep their pages).
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace tarnwick {

template <typename T>
class MappedArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  MappedArray() = default;
  // `count` elements, zeroed (fresh pages are).
  explicit MappedArray(size_t count) : size_(count) {
    if (count == 0) return;
    void* place = ::mmap(nullptr, count * sizeof(T), PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (place == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<T*>(place);
  }
  MappedArray(MappedArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  MappedArray& operator=(MappedArray&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~MappedArray() { release(); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return size_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

 private:
  void release() {
    if (data_ != nullptr) ::munmap(data_, size_ * sizeof(T));
    data_ = nullptr;
    size_ = 0;
  }

  T* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace tarnwick
