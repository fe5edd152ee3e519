// Process-wide bookkeeping of what this library supervises right now, for the
// two moments when the host process changes under us: its exit (every live
// process group is killed) and fork() (the child process must not keep the
// write ends of other children's standard input open, or they never see end
// of input).
#pragma once

#include <cstdint>
#include <memory>

#include "../process_control.h"

namespace quellar {

// Keeps a container in the set that terminate_all_children() signals.
class LiveRegistration {
 public:
  LiveRegistration() = default;
  explicit LiveRegistration(std::shared_ptr<ProcessContainer> container);
  LiveRegistration(LiveRegistration&& other) noexcept;
  LiveRegistration& operator=(LiveRegistration&& other) noexcept;
  ~LiveRegistration();

 private:
  void release();
  std::uint64_t id_ = 0;
};

// Marks a descriptor to be closed in a process forked from this one.
// Unregister (destroy) before closing the descriptor.
class CloseInForkedChild {
 public:
  CloseInForkedChild() = default;
  explicit CloseInForkedChild(int fd);
  CloseInForkedChild(CloseInForkedChild&& other) noexcept;
  CloseInForkedChild& operator=(CloseInForkedChild&& other) noexcept;
  ~CloseInForkedChild();
  void release();

 private:
  std::uint64_t id_ = 0;
};

}  // namespace quellar
