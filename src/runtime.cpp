#include "runtime.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>

namespace quellar::runtime {
namespace {

struct Worker {
  // Driven by exactly one thread.
  asio::io_context io{1};
  asio::executor_work_guard<Executor> work{io.get_executor()};
};

struct Runtime {
  std::vector<std::unique_ptr<Worker>> workers;
  std::atomic<std::size_t> next{0};
};

std::atomic<Runtime*> g_runtime{nullptr};
std::mutex g_init_lock;

// The init lock is held across fork() so that the child never inherits it
// locked by a thread that does not exist there.
void before_fork() { g_init_lock.lock(); }
void after_fork_in_parent() { g_init_lock.unlock(); }
void after_fork_in_child() {
  g_init_lock.unlock();
  // The parent's worker threads were not copied into this process. Its
  // runtime is abandoned, not destroyed: destroying it would join threads
  // that do not exist and touch an epoll set shared with the parent.
  g_runtime.store(nullptr, std::memory_order_relaxed);
}

void worker(asio::io_context& io) {
  // A task that throws has already been reported through its completion
  // handler; keep the thread serving the others.
  for (;;) {
    try {
      io.run();
      return;
    } catch (...) {
    }
  }
}

Runtime* start() {
  auto* runtime = new Runtime;
  const std::size_t count = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 2, 4);
  // Workers block every signal: signals meant for the host (SIGINT for
  // Python, SIGCHLD handlers) stay with its threads, and a write to a pipe
  // whose reader has gone fails with EPIPE instead of killing the process.
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  for (std::size_t i = 0; i < count; ++i) {
    runtime->workers.push_back(std::make_unique<Worker>());
    std::thread(worker, std::ref(runtime->workers.back()->io)).detach();
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return runtime;
}

Runtime& instance() {
  Runtime* runtime = g_runtime.load(std::memory_order_acquire);
  if (runtime) return *runtime;
  static const int fork_handlers =
      ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
  (void)fork_handlers;
  std::lock_guard guard(g_init_lock);
  runtime = g_runtime.load(std::memory_order_relaxed);
  if (!runtime) {
    runtime = start();
    g_runtime.store(runtime, std::memory_order_release);
  }
  return *runtime;
}

}  // namespace

asio::io_context& context() {
  Runtime& runtime = instance();
  const std::size_t turn = runtime.next.fetch_add(1, std::memory_order_relaxed);
  return runtime.workers[turn % runtime.workers.size()]->io;
}

std::size_t worker_count() { return instance().workers.size(); }

}  // namespace quellar::runtime
