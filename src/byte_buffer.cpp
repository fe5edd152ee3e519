#include "byte_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace quellar {

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : blocks_(std::move(other.blocks_)), size_(std::exchange(other.size_, 0)) {
  other.blocks_.clear();
}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    release();
    blocks_ = std::move(other.blocks_);
    other.blocks_.clear();
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

ByteBuffer::ByteBuffer(const ByteBuffer& other) {
  if (other.size_ == 0) return;
  // The list first: once the block exists, nothing may throw before it is
  // in the list, which frees it.
  blocks_.reserve(1);
  Block block = allocate(other.size_);
  other.copy_to(block.data);
  block.size = other.size_;
  blocks_.push_back(block);
  size_ = other.size_;
}

ByteBuffer::Block ByteBuffer::allocate(std::size_t capacity) const {
  void* data = std::malloc(capacity);
  if (data == nullptr) throw std::bad_alloc();
  return Block{static_cast<char*>(data), 0, capacity};
}

std::span<char> ByteBuffer::room(std::size_t most) {
  if (most == 0) most = 1;
  if (blocks_.empty() || blocks_.back().size == blocks_.back().capacity) {
    // The first block is what is asked for (most output is short); each
    // next one doubles, up to the largest block size.
    std::size_t capacity = most;
    if (!blocks_.empty()) {
      capacity = std::max(capacity, std::min(blocks_.back().capacity * 2, kLargestBlock));
    }
    // The list grows first, geometrically: once the block exists, nothing
    // may throw before it is in the list, which frees it.
    if (blocks_.size() == blocks_.capacity()) blocks_.reserve(std::max<std::size_t>(4, blocks_.size() * 2));
    blocks_.push_back(allocate(capacity));
  }
  Block& last = blocks_.back();
  return {last.data + last.size, std::min(most, last.capacity - last.size)};
}

void ByteBuffer::commit(std::size_t n) {
  blocks_.back().size += n;
  size_ += n;
}

void ByteBuffer::append(std::string_view bytes) {
  while (!bytes.empty()) {
    std::span<char> target = room(bytes.size());
    std::memcpy(target.data(), bytes.data(), target.size());
    commit(target.size());
    bytes.remove_prefix(target.size());
  }
}

void ByteBuffer::copy_to(char* out) const {
  for (const Block& block : blocks_) {
    if (block.size == 0) continue;
    std::memcpy(out, block.data, block.size);
    out += block.size;
  }
}

std::string ByteBuffer::str() const {
  std::string copy;
  copy.resize_and_overwrite(size_, [this](char* out, std::size_t n) {
    copy_to(out);
    return n;
  });
  return copy;
}

std::string ByteBuffer::prefix(std::size_t n) const {
  std::string head;
  for (const Block& block : blocks_) {
    if (head.size() >= n) break;
    head.append(block.data, std::min(block.size, n - head.size()));
  }
  return head;
}

std::string_view ByteBuffer::view() const {
  if (size_ == 0) return {};
  if (blocks_.size() > 1) {
    Block joined = allocate(size_);
    copy_to(joined.data);
    joined.size = size_;
    for (Block& block : blocks_) std::free(block.data);
    blocks_.assign(1, joined);
  }
  return {blocks_.front().data, blocks_.front().size};
}

char ByteBuffer::back() const {
  for (auto it = blocks_.rbegin(); it != blocks_.rend(); ++it) {
    if (it->size > 0) return it->data[it->size - 1];
  }
  return '\0';
}

void ByteBuffer::release() {
  for (Block& block : blocks_) std::free(block.data);
  blocks_.clear();
  size_ = 0;
}

}  // namespace quellar
