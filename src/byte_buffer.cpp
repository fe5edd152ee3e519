#include "byte_buffer.h"

#include <cstdlib>
#include <new>

namespace quellar {

void ByteBuffer::reserve_more(std::size_t n) {
  if (spare() >= n) return;
  if (n > SIZE_MAX - size_) throw std::bad_alloc();
  // Doubling keeps the number of reallocations logarithmic; realloc moves
  // large blocks by remapping their pages, so growing copies little.
  std::size_t wanted = size_ + n;
  std::size_t capacity = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : capacity_ * 2;
  if (capacity < wanted) capacity = wanted;
  void* grown = std::realloc(data_, capacity);
  if (grown == nullptr) throw std::bad_alloc();
  data_ = static_cast<char*>(grown);
  capacity_ = capacity;
}

void ByteBuffer::release() {
  std::free(data_);
  data_ = nullptr;
  size_ = capacity_ = 0;
}

}  // namespace quellar
