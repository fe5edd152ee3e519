#include "process_control.h"

#include <cerrno>
#include <csignal>

#include <sys/types.h>

namespace quellar {

std::expected<void, IoError> ProcessContainer::set_process_id(std::optional<std::uint32_t> pid) {
  if (!pid || *pid == 0 || *pid > static_cast<std::uint32_t>(INT32_MAX)) {
    return std::unexpected(IoError::other("child process identifier unavailable"));
  }
  std::lock_guard guard(lock_);
  if (process_group_ == 0) process_group_ = static_cast<std::int32_t>(*pid);
  return {};
}

std::int32_t ProcessContainer::process_group() const {
  std::lock_guard guard(lock_);
  return process_group_;
}

std::expected<void, IoError> ProcessContainer::signal_group(int signal_number) {
  // Read under the lock, signal outside it: kill() may be slow and must never
  // be what another holder of the container waits for.
  const std::int32_t group = process_group();
  if (group < 1) return {};
  if (::kill(-group, signal_number) == 0 || errno == ESRCH) return {};
  return std::unexpected(IoError::from_errno(errno));
}

std::expected<void, IoError> ProcessContainer::request_graceful_stop() {
  return signal_group(SIGTERM);
}

std::expected<void, IoError> ProcessContainer::terminate() { return signal_group(SIGKILL); }

bool ProcessContainer::has_members() const {
  const std::int32_t group = process_group();
  // Signal 0 checks without sending; EPERM still means someone is there.
  return group > 0 && (::kill(-group, 0) == 0 || errno == EPERM);
}

std::expected<void, IoError> apply_limits(const ResourceLimits& limits) {
  if (limits.any()) {
    return std::unexpected(
        IoError::unsupported("kernel resource limits are unavailable for this containment backend"));
  }
  return {};
}

std::optional<LifecycleEvent> LifecycleBroadcast::Subscription::try_receive() {
  std::lock_guard guard(lock_);
  if (queue_.empty()) return std::nullopt;
  LifecycleEvent event = std::move(queue_.front());
  queue_.pop_front();
  return event;
}

std::shared_ptr<LifecycleBroadcast::Subscription> LifecycleBroadcast::subscribe() {
  auto subscription = std::make_shared<Subscription>();
  std::lock_guard guard(lock_);
  subscribers_.push_back(subscription);
  return subscription;
}

std::size_t LifecycleBroadcast::send(const LifecycleEvent& event) {
  std::vector<std::shared_ptr<Subscription>> live;
  {
    std::lock_guard guard(lock_);
    std::erase_if(subscribers_, [](const auto& weak) { return weak.expired(); });
    for (const auto& weak : subscribers_) {
      if (auto strong = weak.lock()) live.push_back(std::move(strong));
    }
  }
  for (const auto& subscriber : live) {
    std::lock_guard guard(subscriber->lock_);
    if (subscriber->queue_.size() >= capacity_) subscriber->queue_.pop_front();
    subscriber->queue_.push_back(event);
  }
  return live.size();
}

std::shared_ptr<ProcessContainer> ProcessRegistry::find(std::uint32_t pid) const {
  std::lock_guard guard(shared_->lock);
  auto it = shared_->entries.find(pid);
  return it == shared_->entries.end() ? nullptr : it->second;
}

std::size_t ProcessRegistry::size() const {
  std::lock_guard guard(shared_->lock);
  return shared_->entries.size();
}

}  // namespace quellar
