// A byte buffer for captured output: a list of blocks that reads land in
// straight (room(), then commit()). It never moves what it holds: growing
// adds a block, whose size doubles up to kLargestBlock, so a large capture
// costs no copy and no remapping until its bytes are copied into the object
// a caller finally gets (the Python bytes of RunResult.stdout). Copying the
// buffer itself (a stream's final result, whose exit event and close() each
// get one) makes one block in one pass.
#pragma once

#include <cstddef>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quellar {

class ByteBuffer {
 public:
  static constexpr std::size_t kLargestBlock = 256 * 1024;

  ByteBuffer() = default;
  // A copy of the bytes (the buffer is a value, like a string).
  ByteBuffer(std::string_view bytes) { append(bytes); }
  ByteBuffer(const char* text) : ByteBuffer(std::string_view(text)) {}
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer& other);
  ByteBuffer& operator=(const ByteBuffer& other) {
    if (this != &other) *this = ByteBuffer(other);
    return *this;
  }
  ~ByteBuffer() { release(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Where the next bytes go: at least one byte and at most `most` of free
  // space at the end, a new block made when the last one is full (throws
  // std::bad_alloc when there is no memory for it). Fill it, then commit
  // what was filled.
  std::span<char> room(std::size_t most);
  void commit(std::size_t n);

  void append(std::string_view bytes);

  // The bytes, in order, into `out` (size() bytes of room).
  void copy_to(char* out) const;
  std::string str() const;
  // The first `n` bytes (all of them when there are fewer).
  std::string prefix(std::size_t n) const;
  // The bytes as one contiguous view: joins the blocks into one first (for
  // tests and short output; a capture is copied out with copy_to).
  std::string_view view() const;
  operator std::string_view() const { return view(); }
  char back() const;

  friend bool operator==(const ByteBuffer& a, std::string_view b) { return a.view() == b; }
  friend bool operator==(const ByteBuffer& a, const char* b) { return a.view() == b; }
  friend bool operator==(const ByteBuffer& a, const std::string& b) { return a.view() == b; }
  friend std::ostream& operator<<(std::ostream& out, const ByteBuffer& buffer) {
    return out << '"' << buffer.view() << '"';
  }

 private:
  struct Block {
    char* data;
    std::size_t size;
    std::size_t capacity;
  };

  void release();
  Block allocate(std::size_t capacity) const;

  // Mutable: view() joins them.
  mutable std::vector<Block> blocks_;
  std::size_t size_ = 0;
};

}  // namespace quellar
