// Descriptor ownership and the one EINTR policy of the library.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace quellar::platform {

// Retries a system call interrupted by a signal. Never used for close():
// Linux releases the descriptor even when close() reports EINTR, so a retry
// could close a descriptor that another thread has just been given.
template <class Call>
auto retry_on_eintr(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// The single owner of one descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);  // not retried, see retry_on_eintr
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace quellar::platform
