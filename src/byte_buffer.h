// A growable byte buffer for captured output: reads land straight in it, it
// grows with realloc (which, for large blocks, moves pages instead of copying
// them), and its bytes are copied once more only into the object a caller
// finally gets (the Python bytes of RunResult.stdout).
#pragma once

#include <cstddef>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

namespace quellar {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  // A copy of the bytes (the buffer is a value, like a string).
  ByteBuffer(std::string_view bytes) { append(bytes); }
  ByteBuffer(const char* text) : ByteBuffer(std::string_view(text)) {}
  ByteBuffer(ByteBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ByteBuffer(const ByteBuffer& other) : ByteBuffer(other.view()) {}
  ByteBuffer& operator=(const ByteBuffer& other) {
    if (this != &other) *this = ByteBuffer(other);
    return *this;
  }
  ~ByteBuffer() { release(); }

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  char back() const { return data_[size_ - 1]; }
  std::string_view view() const { return {data_, size_}; }
  operator std::string_view() const { return view(); }
  std::string str() const { return std::string(view()); }

  // Room for at least `n` more bytes (throws std::bad_alloc when there is
  // no memory for it).
  void reserve_more(std::size_t n);
  std::size_t spare() const { return capacity_ - size_; }
  // Where the next bytes go: `spare()` bytes, filled, then committed.
  char* tail() { return data_ + size_; }
  void commit(std::size_t n) { size_ += n; }

  void append(std::string_view bytes) {
    if (bytes.empty()) return;
    if (spare() < bytes.size()) reserve_more(bytes.size());
    std::memcpy(tail(), bytes.data(), bytes.size());
    commit(bytes.size());
  }

  friend bool operator==(const ByteBuffer& a, std::string_view b) { return a.view() == b; }
  friend bool operator==(const ByteBuffer& a, const char* b) { return a.view() == b; }
  friend bool operator==(const ByteBuffer& a, const std::string& b) { return a.view() == b; }
  friend std::ostream& operator<<(std::ostream& out, const ByteBuffer& buffer) {
    return out << '"' << buffer.view() << '"';
  }

 private:
  void release();

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace quellar
