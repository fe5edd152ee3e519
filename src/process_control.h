// Containment on this backend is a POSIX process group: every child leads a
// new group whose id is its pid, and stopping a child signals the whole group.
#pragma once

#include <cstdint>
#include <deque>
#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "io_error.h"
#include "policy.h"

namespace quellar {

class ProcessContainer {
 public:
  ProcessContainer() = default;
  ProcessContainer(const ProcessContainer&) = delete;
  ProcessContainer& operator=(const ProcessContainer&) = delete;

  // Records the child's pid as its process-group id. The first id sticks;
  // later calls succeed without changing it.
  std::expected<void, IoError> set_process_id(std::optional<std::uint32_t> pid);

  // SIGTERM to the group. A group that no longer exists counts as stopped.
  std::expected<void, IoError> request_graceful_stop();
  // SIGKILL to the group, with the same rules.
  std::expected<void, IoError> terminate();
  // Whether any process is still in the group (zombies included).
  bool has_members() const;

  // 0 while no id has been recorded.
  std::int32_t process_group() const;

 private:
  std::expected<void, IoError> signal_group(int signal_number);

  mutable std::mutex lock_;
  std::int32_t process_group_ = 0;
};

// Kernel resource limits cannot be applied by this backend.
std::expected<void, IoError> apply_limits(const ResourceLimits& limits);

// A minimal broadcast of lifecycle events: each subscriber gets its own
// bounded queue; a subscriber that falls behind loses its oldest events.
class LifecycleBroadcast {
 public:
  class Subscription {
   public:
    std::optional<LifecycleEvent> try_receive();

   private:
    friend class LifecycleBroadcast;
    std::mutex lock_;
    std::deque<LifecycleEvent> queue_;
  };

  explicit LifecycleBroadcast(std::size_t capacity = 64) : capacity_(capacity) {}

  std::shared_ptr<Subscription> subscribe();
  // Returns how many subscribers received the event (0: nobody listens).
  std::size_t send(const LifecycleEvent& event);

 private:
  std::mutex lock_;
  std::size_t capacity_;
  std::vector<std::weak_ptr<Subscription>> subscribers_;
};

// An optional shared index of live containers by pid.
class ProcessRegistry {
 public:
  using Map = std::map<std::uint32_t, std::shared_ptr<ProcessContainer>>;

  struct Shared {
    std::mutex lock;
    Map entries;
  };

  ProcessRegistry()
      : shared_(std::make_shared<Shared>()), events_(std::make_shared<LifecycleBroadcast>()) {}

  const std::shared_ptr<Shared>& shared() const { return shared_; }
  const std::shared_ptr<LifecycleBroadcast>& events() const { return events_; }

  std::shared_ptr<ProcessContainer> find(std::uint32_t pid) const;
  std::size_t size() const;

 private:
  std::shared_ptr<Shared> shared_;
  std::shared_ptr<LifecycleBroadcast> events_;
};

}  // namespace quellar
