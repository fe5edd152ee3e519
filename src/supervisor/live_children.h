// The process groups this library supervises right now, for the moment the
// host goes away: terminate_all_children() kills every one of them, children
// being started at that moment included, and refuses new ones from then on.
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
  SpawnAdmission();
  SpawnAdmission(const SpawnAdmission&) = delete;
  SpawnAdmission& operator=(const SpawnAdmission&) = delete;
  ~SpawnAdmission();

  // False when the host is going away: start nothing.
  bool granted() const { return granted_; }

  // Registers the started child's container. Returns nothing (and kills the
  // group) when the host started going away meanwhile.
  std::optional<LiveRegistration> register_child(std::shared_ptr<ProcessContainer> container);

 private:
  bool granted_ = false;
};

// SIGKILL to the process group of every child this library still supervises
// (runs and streams alike), including children being started at this moment.
// For a host that is going away (interpreter exit): a contained child must
// not outlive its supervisor silently. From then on nothing new is started:
// every run and stream fails with "spawn_failed".
void terminate_all_children();

namespace live_children::fork_hooks {
// The registry's lock is held across fork(); the forked child starts with an
// empty registry (the parent's children are not its to signal).
void prepare();
void in_parent();
void in_child();
}  // namespace live_children::fork_hooks

}  // namespace quellar
