#include "live_children.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace quellar {
namespace {

struct LiveState {
  std::mutex lock;
  std::condition_variable admissions_closed;
  bool closing = false;        // terminate_all_children() has run
  std::size_t admissions = 0;  // children being started right now
  std::uint64_t next_id = 1;
  std::map<std::uint64_t, std::shared_ptr<ProcessContainer>> containers;
};

LiveState& state() {
  // Never destroyed: runtime threads may still use it while the host exits.
  static LiveState* live = new LiveState;
  return *live;
}

}  // namespace

namespace live_children::fork_hooks {
void prepare() { state().lock.lock(); }
void in_parent() { state().lock.unlock(); }
void in_child() {
  LiveState& live = state();
  // The parent's children are not ours: never signal them from here. (The
  // containers are leaked, not released: releasing may run code that is not
  // safe between fork and exec of a multi-threaded parent.)
  for (auto& [id, container] : live.containers) new std::shared_ptr<ProcessContainer>(std::move(container));
  live.containers.clear();
  live.admissions = 0;
  live.closing = false;
  live.lock.unlock();
}
}  // namespace live_children::fork_hooks

LiveRegistration::LiveRegistration(LiveRegistration&& other) noexcept
    : id_(std::exchange(other.id_, 0)) {}

LiveRegistration& LiveRegistration::operator=(LiveRegistration&& other) noexcept {
  if (this != &other) {
    release();
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

LiveRegistration::~LiveRegistration() { release(); }

void LiveRegistration::release() {
  if (id_ == 0) return;
  std::shared_ptr<ProcessContainer> released;  // dropped outside the lock
  LiveState& live = state();
  std::lock_guard guard(live.lock);
  if (auto it = live.containers.find(id_); it != live.containers.end()) {
    released = std::move(it->second);
    live.containers.erase(it);
  }
  id_ = 0;
}

SpawnAdmission::SpawnAdmission() {
  LiveState& live = state();
  std::lock_guard guard(live.lock);
  if (live.closing) return;
  ++live.admissions;
  granted_ = true;
}

SpawnAdmission::~SpawnAdmission() {
  if (!granted_) return;
  LiveState& live = state();
  std::lock_guard guard(live.lock);
  if (--live.admissions == 0) live.admissions_closed.notify_all();
}

std::optional<LiveRegistration> SpawnAdmission::register_child(
    std::shared_ptr<ProcessContainer> container) {
  LiveState& live = state();
  std::unique_lock guard(live.lock);
  if (live.closing) {
    guard.unlock();
    (void)container->terminate();
    return std::nullopt;
  }
  LiveRegistration registration;
  registration.id_ = live.next_id++;
  live.containers.emplace(registration.id_, std::move(container));
  return registration;
}

void terminate_all_children() {
  std::vector<std::shared_ptr<ProcessContainer>> containers;
  {
    LiveState& live = state();
    std::unique_lock guard(live.lock);
    live.closing = true;
    // A child being started right now is registered (or killed) within
    // moments; do not leave it behind.
    live.admissions_closed.wait_for(guard, std::chrono::seconds(2),
                                    [&] { return live.admissions == 0; });
    for (const auto& [id, container] : live.containers) containers.push_back(container);
  }
  // Outside the lock: no signal is sent while a mutex is held.
  for (const auto& container : containers) (void)container->terminate();
}

}  // namespace quellar
