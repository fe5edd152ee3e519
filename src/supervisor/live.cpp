#include "live.h"

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "run.h"

namespace quellar {
namespace {

struct LiveState {
  std::mutex lock;
  std::condition_variable admissions_closed;
  bool closing = false;       // terminate_all_children() has run
  std::size_t admissions = 0; // children being started right now
  std::uint64_t next_id = 1;
  std::map<std::uint64_t, std::shared_ptr<ProcessContainer>> containers;
  std::map<std::uint64_t, int> fork_closed_fds;
};

void before_fork();
void after_fork_in_parent();
void after_fork_in_child();

LiveState& state() {
  // Never destroyed: runtime threads may still use it while the host exits.
  static LiveState* live = [] {
    ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    return new LiveState;
  }();
  return *live;
}

// Held across fork(), so that the child sees a consistent set and an
// unlocked mutex.
void before_fork() { state().lock.lock(); }
void after_fork_in_parent() { state().lock.unlock(); }
void after_fork_in_child() {
  LiveState& live = state();
  for (const auto& [id, fd] : live.fork_closed_fds) ::close(fd);
  live.fork_closed_fds.clear();
  // The parent's children are not ours: never signal them from here.
  live.containers.clear();
  live.admissions = 0;
  live.closing = false;
  live.lock.unlock();
}

std::uint64_t add_fd(int fd) {
  LiveState& live = state();
  std::lock_guard guard(live.lock);
  std::uint64_t id = live.next_id++;
  live.fork_closed_fds.emplace(id, fd);
  return id;
}

}  // namespace

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

CloseInForkedChild::CloseInForkedChild(int fd) : id_(add_fd(fd)) {}
CloseInForkedChild::CloseInForkedChild(CloseInForkedChild&& other) noexcept
    : id_(std::exchange(other.id_, 0)) {}
CloseInForkedChild& CloseInForkedChild::operator=(CloseInForkedChild&& other) noexcept {
  if (this != &other) {
    release();
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}
CloseInForkedChild::~CloseInForkedChild() { release(); }
void CloseInForkedChild::release() {
  if (id_ == 0) return;
  LiveState& live = state();
  std::lock_guard guard(live.lock);
  live.fork_closed_fds.erase(id_);
  id_ = 0;
}

SpawnAdmission::SpawnAdmission() {
  LiveState& live = state();
  std::lock_guard guard(live.lock);
  if (live.closing) return;
  ++live.admissions;
  granted_ = open_ = true;
}

SpawnAdmission::~SpawnAdmission() {
  if (!open_) return;
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
