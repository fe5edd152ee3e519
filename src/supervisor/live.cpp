#include "live.h"

#include <pthread.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "run.h"

namespace quellar {
namespace {

struct LiveState {
  std::mutex lock;
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
  live.lock.unlock();
}

std::uint64_t add_container(std::shared_ptr<ProcessContainer> container) {
  LiveState& live = state();
  std::lock_guard guard(live.lock);
  std::uint64_t id = live.next_id++;
  live.containers.emplace(id, std::move(container));
  return id;
}

std::uint64_t add_fd(int fd) {
  LiveState& live = state();
  std::lock_guard guard(live.lock);
  std::uint64_t id = live.next_id++;
  live.fork_closed_fds.emplace(id, fd);
  return id;
}

}  // namespace

LiveRegistration::LiveRegistration(std::shared_ptr<ProcessContainer> container)
    : id_(add_container(std::move(container))) {}
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

void terminate_all_children() {
  std::vector<std::shared_ptr<ProcessContainer>> containers;
  {
    LiveState& live = state();
    std::lock_guard guard(live.lock);
    for (const auto& [id, container] : live.containers) containers.push_back(container);
  }
  // Outside the lock: no signal is sent while a mutex is held.
  for (const auto& container : containers) (void)container->terminate();
}

}  // namespace quellar
