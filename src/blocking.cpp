#include "blocking.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "host_fork.h"

namespace quellar::blocking {
namespace {

// Threads that serve at once, without waiting to see whether one is stuck:
// enough for the bursts of short calls a busy host makes.
constexpr std::size_t kReadyThreads = 2;
// A request that has waited this long for a thread gets a new one: whatever
// holds the others is taking longer than a system call should.
constexpr auto kStuckAfter = std::chrono::milliseconds(20);

using Clock = std::chrono::steady_clock;

struct Request {
  UniqueFunction<void()> work;
  Clock::time_point queued;
};

struct Pool {
  std::mutex lock;
  std::condition_variable work_arrived;
  std::condition_variable watch;  // the watchdog's: requests wait
  std::deque<Request> queue;
  std::size_t threads = 0;
  std::size_t idle = 0;  // threads waiting for work
  bool watching = false;
};

// Never destroyed: a pool thread may still be inside a call when the host
// exits. Replaced (the old one leaked) in a forked child, whose copy was
// taken with the lock held and whose threads do not exist.
Pool* g_pool = new Pool;

// Like the runtime's workers, pool threads block every signal: signals stay
// with the host's own threads. False when no thread could be made.
template <class Body>
bool start_thread(Body body) {
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  bool started = true;
  try {
    std::thread(std::move(body)).detach();
  } catch (const std::system_error&) {
    started = false;
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started;
}

void serve(Pool* pool) {
  std::unique_lock guard(pool->lock);
  for (;;) {
    // A pool thread never ends: the sandbox launcher asks the kernel to kill
    // it when its parent goes, and the kernel takes the end of the thread
    // that started it for its parent's death.
    while (pool->queue.empty()) {
      ++pool->idle;
      pool->work_arrived.wait(guard);
      --pool->idle;
    }
    UniqueFunction<void()> work = std::move(pool->queue.front().work);
    pool->queue.pop_front();
    guard.unlock();
    work();
    work = nullptr;  // whatever it holds goes before the lock is taken again
    guard.lock();
  }
}

bool add_thread(Pool* pool, std::unique_lock<std::mutex>& guard) {
  ++pool->threads;
  guard.unlock();
  const bool started = start_thread([pool] { serve(pool); });
  guard.lock();
  if (!started) --pool->threads;
  return started;
}

// Watches the requests that wait: one whose wait passes kStuckAfter gets a
// new thread (the others may be stuck for good in a hung file system), so a
// stuck call holds up only its own request. It sleeps while none waits.
void watchdog(Pool* pool) {
  std::unique_lock guard(pool->lock);
  for (;;) {
    if (pool->queue.empty() || pool->idle >= pool->queue.size()) {
      pool->watch.wait(guard);
      continue;
    }
    const auto due = pool->queue.front().queued + kStuckAfter;
    if (Clock::now() < due) {
      pool->watch.wait_until(guard, due);
      continue;
    }
    if (!add_thread(pool, guard)) {
      pool->watch.wait_for(guard, kStuckAfter);
      continue;
    }
    // The new thread takes the oldest request; the next one gets a wait of
    // its own before another thread is added.
    if (!pool->queue.empty()) pool->queue.front().queued = Clock::now();
  }
}

}  // namespace

void post(UniqueFunction<void()> work) {
  host_fork::install();
  Pool* pool = g_pool;
  std::unique_lock guard(pool->lock);
  pool->queue.push_back(Request{std::move(work), Clock::now()});
  if (pool->threads < kReadyThreads && pool->idle < pool->queue.size()) add_thread(pool, guard);
  if (pool->threads == 0) {
    // No thread at all, and none can be made: the caller runs it rather
    // than nobody.
    UniqueFunction<void()> mine = std::move(pool->queue.back().work);
    pool->queue.pop_back();
    guard.unlock();
    mine();
    return;
  }
  const bool wake = pool->idle > 0;
  if (pool->queue.size() > pool->idle) {
    // More requests than free threads: they wait, watched.
    if (!pool->watching) pool->watching = start_thread([pool] { watchdog(pool); });
    pool->watch.notify_one();
  }
  // Woken after the lock is let go, the thread does not wait for it.
  guard.unlock();
  if (wake) pool->work_arrived.notify_one();
}

namespace fork_hooks {
void prepare() { g_pool->lock.lock(); }
void in_parent() { g_pool->lock.unlock(); }
void in_child() { g_pool = new Pool; }
}  // namespace fork_hooks

}  // namespace quellar::blocking
