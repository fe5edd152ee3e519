#include "blocking.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <expected>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "host_fork.h"
#include "runtime.h"

namespace quellar::blocking {
namespace {

// Threads that serve at once: enough for the bursts of short calls a busy
// host makes. The pool keeps this many threads that are not stuck.
constexpr std::size_t kReadyThreads = 2;
// A call that has run this long is taken to be stuck (in a hung file
// system): it no longer counts as one of the ready threads, and a request
// waiting meanwhile gets a new thread. A busy thread is not a stuck one:
// a burst of short calls waits its turn instead of adding threads.
constexpr auto kStuckAfter = std::chrono::milliseconds(20);

using Clock = std::chrono::steady_clock;

struct Pool {
  std::mutex lock;
  std::condition_variable work_arrived;
  std::condition_variable watch;  // the watchdog's: requests wait
  std::deque<Work> queue;
  // When each thread's current call started; empty while it waits for work.
  std::vector<std::optional<Clock::time_point>> busy_since;
  std::size_t idle = 0;  // threads waiting for work
  bool watching = false;
  bool watchdog_asleep = false;  // until a request waits (no timed wake-up)
};

// Never destroyed: a pool thread may still be inside a call when the host
// exits. Replaced (the old one leaked) in a forked child, whose copy was
// taken with the lock held and whose threads do not exist.
Pool* g_pool = new Pool;

// Like the runtime's workers, pool threads block every signal (signals stay
// with the host's own threads), but SIGCHLD. A child's exit signal is sent
// for the thread that started it: blocked there, the kernel keeps it for the
// whole process and interrupts the host's main thread with it at every
// exit; unblocked, it is dropped at once when nobody handles SIGCHLD (and
// handled as anywhere else when the host does). Why no thread could be made,
// if none could.
template <class Body>
std::expected<void, IoError> start_thread(Body body) {
  sigset_t all, previous;
  sigfillset(&all);
  sigdelset(&all, SIGCHLD);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  std::expected<void, IoError> started;
  try {
    std::thread(std::move(body)).detach();
  } catch (const std::system_error& error) {
    started = std::unexpected(
        IoError::from_errno(error.code().value(), "no thread could be started for a blocking call"));
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started;
}

void serve(Pool* pool, std::size_t slot) {
  runtime::name_this_thread("quellar-block");
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
    Work work = std::move(pool->queue.front());
    pool->queue.pop_front();
    pool->busy_since[slot] = Clock::now();
    guard.unlock();
    try {
      work(PoolThread());
    } catch (const std::exception& error) {
      // Every call reports its own failure; what escapes one is a bug worth
      // seeing, and the thread (which the children it started depend on)
      // goes on.
      std::fprintf(stderr, "quellar: a blocking call failed: %s\n", error.what());
    } catch (...) {
      std::fprintf(stderr, "quellar: a blocking call failed\n");
    }
    work = nullptr;  // whatever it holds goes before the lock is taken again
    guard.lock();
    pool->busy_since[slot].reset();
  }
}

std::expected<void, IoError> add_thread(Pool* pool, std::unique_lock<std::mutex>& guard) {
  const std::size_t slot = pool->busy_since.size();
  pool->busy_since.emplace_back();
  guard.unlock();
  auto started = start_thread([pool, slot] { serve(pool, slot); });
  guard.lock();
  if (!started) pool->busy_since.pop_back();
  return started;
}

// Keeps kReadyThreads threads that are not stuck while requests wait: a
// stuck call holds up only its own request. It sleeps while none waits.
void watchdog(Pool* pool) {
  runtime::name_this_thread("quellar-block");
  std::unique_lock guard(pool->lock);
  for (;;) {
    // Asleep only while every waiting request has an idle thread to take
    // it: once those threads are busy, a request left over is woken for by
    // nobody (post() wakes this only for requests it adds).
    if (pool->queue.size() <= pool->idle) {
      pool->watchdog_asleep = true;
      pool->watch.wait(guard);
      pool->watchdog_asleep = false;
      continue;
    }
    const auto now = Clock::now();
    std::size_t stuck = 0;
    std::optional<Clock::time_point> next_due;  // when a busy one would count as stuck
    for (const auto& since : pool->busy_since) {
      if (!since) continue;
      if (*since + kStuckAfter <= now) {
        ++stuck;
      } else if (!next_due || *since + kStuckAfter < *next_due) {
        next_due = *since + kStuckAfter;
      }
    }
    if (pool->busy_since.size() - stuck >= kReadyThreads) {
      // Enough threads, but requests still wait: look again when a busy one
      // would count as stuck, or soon anyway (a thread still starting is
      // counted as ready, and may take a call that sticks).
      pool->watch.wait_until(guard, next_due.value_or(now + kStuckAfter));
      continue;
    }
    if (!add_thread(pool, guard)) pool->watch.wait_for(guard, kStuckAfter);
  }
}

}  // namespace

void post(Work work) {
  host_fork::install();
  Pool* pool = g_pool;
  std::unique_lock guard(pool->lock);
  pool->queue.push_back(std::move(work));
  std::expected<void, IoError> added;
  if (pool->busy_since.size() < kReadyThreads && pool->idle < pool->queue.size()) {
    added = add_thread(pool, guard);
  }
  if (pool->busy_since.empty()) {
    // No thread at all, and none can be made. The call is not run here: the
    // caller's thread may end before what the call starts (a sandbox
    // launcher dies with the thread that started it), and may not block.
    Work refused = std::move(pool->queue.back());
    pool->queue.pop_back();
    guard.unlock();
    if (added) added = std::unexpected(IoError::other("no thread could be started for a blocking call"));
    refused(std::move(added));
    return;
  }
  const bool wake = pool->idle > 0;
  if (pool->queue.size() > pool->idle) {
    // More requests than free threads: they wait, watched (a watchdog
    // awake already looks again when its next thread may count as stuck).
    if (!pool->watching) pool->watching = start_thread([pool] { watchdog(pool); }).has_value();
    if (pool->watchdog_asleep) pool->watch.notify_one();
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
