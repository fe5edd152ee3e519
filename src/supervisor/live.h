// Process-wide bookkeeping of what this library supervises right now, for the
// two moments when the host process changes under us: its exit (every live
// process group is killed) and fork() (the child process must not keep the
// write ends of other children's standard input open, or they never see end
// of input).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "../process_control.h"

namespace quellar {

// Keeps a container in the set that terminate_all_children() signals.
class LiveRegistration {
 public:
  LiveRegistration() = default;
  LiveRegistration(LiveRegistration&& other) noexcept;
  LiveRegistration& operator=(LiveRegistration&& other) noexcept;
  ~LiveRegistration();

 private:
  friend class SpawnAdmission;
  void release();
  std::uint64_t id_ = 0;
};

// Brackets the start of one child. While any admission is open,
// terminate_all_children() waits (briefly) for it, so that a child being
// started while the host goes away is killed too, not left behind. Once
// terminate_all_children() has run, no admission is granted any more.
class SpawnAdmission {
 public:
  // False when the host is going away: start nothing.
  bool granted() const { return granted_; }
  SpawnAdmission();
  SpawnAdmission(const SpawnAdmission&) = delete;
  SpawnAdmission& operator=(const SpawnAdmission&) = delete;
  ~SpawnAdmission();

  // Registers the started child's container. Returns nothing (and kills the
  // group) when the host started going away meanwhile.
  std::optional<LiveRegistration> register_child(std::shared_ptr<ProcessContainer> container);

 private:
  bool granted_ = false;
  bool open_ = false;
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
