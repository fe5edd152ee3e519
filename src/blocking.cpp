#include "blocking.h"

#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "host_fork.h"

namespace quellar::blocking {
namespace {


struct Pool {
  std::mutex lock;
  std::condition_variable work_arrived;
  std::deque<UniqueFunction<void()>> queue;
  std::size_t threads = 0;
  std::size_t idle = 0;  // threads waiting for work
};

// Never destroyed: a pool thread may still be inside a call when the host
// exits. Replaced (the old one leaked) in a forked child, whose copy was
// taken with the lock held and whose threads do not exist.
Pool* g_pool = new Pool;

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
    UniqueFunction<void()> work = std::move(pool->queue.front());
    pool->queue.pop_front();
    guard.unlock();
    work();
    work = nullptr;  // whatever it holds goes before the lock is taken again
    guard.lock();
  }
}

}  // namespace

void post(UniqueFunction<void()> work) {
  host_fork::install();
  Pool* pool = g_pool;
  std::unique_lock guard(pool->lock);
  pool->queue.push_back(std::move(work));
  // Every queued request needs a thread of its own that is free: one that
  // waits, or a new one (a busy thread may be stuck for good).
  if (pool->queue.size() <= pool->idle) {
    pool->work_arrived.notify_one();
    return;
  }
  ++pool->threads;
  guard.unlock();
  // Like the runtime's workers, pool threads block every signal: signals
  // stay with the host's own threads.
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  bool started = true;
  try {
    std::thread(serve, pool).detach();
  } catch (const std::system_error&) {
    started = false;  // out of threads: the ones there serve the queue in turn
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (started) return;
  guard.lock();
  --pool->threads;
  if (pool->threads > 0) return;
  // No thread at all: the caller runs it rather than nobody.
  UniqueFunction<void()> mine = std::move(pool->queue.back());
  pool->queue.pop_back();
  guard.unlock();
  mine();
}

namespace fork_hooks {
void prepare() { g_pool->lock.lock(); }
void in_parent() { g_pool->lock.unlock(); }
void in_child() { g_pool = new Pool; }
}  // namespace fork_hooks

}  // namespace quellar::blocking
