#include "host_fork.h"

#include <pthread.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "blocking.h"
#include "runtime.h"
#include "supervisor/live_children.h"

namespace quellar::host_fork {
namespace {

struct ForkClosed {
  std::mutex lock;
  std::uint64_t next_id = 1;
  std::map<std::uint64_t, int> fds;
  std::vector<void (*)()> child_steps;
};

ForkClosed& fork_closed() {
  // Never destroyed: runtime threads may still use it while the host exits.
  static ForkClosed* state = new ForkClosed;
  return *state;
}

// Outermost first: the runtime's start lock, the blocking pool's lock, the
// registry of live children, then this file's own list.
void prepare() {
  runtime::fork_hooks::prepare();
  blocking::fork_hooks::prepare();
  live_children::fork_hooks::prepare();
  fork_closed().lock.lock();
}

void in_parent() {
  fork_closed().lock.unlock();
  live_children::fork_hooks::in_parent();
  blocking::fork_hooks::in_parent();
  runtime::fork_hooks::in_parent();
}

void in_child() {
  ForkClosed& closed = fork_closed();
  for (const auto& [id, fd] : closed.fds) ::close(fd);
  closed.fds.clear();
  const std::vector<void (*)()> steps = closed.child_steps;
  closed.lock.unlock();
  live_children::fork_hooks::in_child();
  blocking::fork_hooks::in_child();
  runtime::fork_hooks::in_child();
  for (void (*step)() : steps) step();
}

}  // namespace

void install() {
  static const int installed = ::pthread_atfork(prepare, in_parent, in_child);
  (void)installed;
}

void add_child_step(void (*step)()) {
  install();
  ForkClosed& closed = fork_closed();
  std::lock_guard guard(closed.lock);
  closed.child_steps.push_back(step);
}

CloseInForkedChild::CloseInForkedChild(int fd) {
  install();
  ForkClosed& closed = fork_closed();
  std::lock_guard guard(closed.lock);
  id_ = closed.next_id++;
  closed.fds.emplace(id_, fd);
}

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
  ForkClosed& closed = fork_closed();
  std::lock_guard guard(closed.lock);
  closed.fds.erase(id_);
  id_ = 0;
}

}  // namespace quellar::host_fork
