#include "runtime.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>

#include "host_fork.h"

namespace quellar::runtime {
namespace {

struct Worker {
  // Driven by exactly one thread.
  asio::io_context io{1};
  asio::executor_work_guard<WorkerExecutor> work{io.get_executor()};
};

struct Runtime {
  std::vector<std::unique_ptr<Worker>> workers;
  std::atomic<std::size_t> next{0};
};

std::atomic<Runtime*> g_runtime{nullptr};
std::mutex g_start_lock;

void worker(asio::io_context& io) {
  name_this_thread("quellar-io");
  for (;;) {
    try {
      io.run();
      return;
    } catch (const std::exception& error) {
      // Every task reports its own failure through its completion handler;
      // what reaches here escaped a bare handler, a bug worth seeing. The
      // thread goes on serving the other children.
      std::fprintf(stderr, "quellar: a runtime handler failed: %s\n", error.what());
    } catch (...) {
      std::fprintf(stderr, "quellar: a runtime handler failed\n");
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
  host_fork::install();
  std::lock_guard guard(g_start_lock);
  runtime = g_runtime.load(std::memory_order_relaxed);
  if (!runtime) {
    runtime = start();
    g_runtime.store(runtime, std::memory_order_release);
  }
  return *runtime;
}

}  // namespace

namespace fork_hooks {
void prepare() { g_start_lock.lock(); }
void in_parent() { g_start_lock.unlock(); }
void in_child() {
  g_start_lock.unlock();
  // The parent's worker threads were not copied into this process. Its
  // runtime is abandoned, not destroyed: destroying it would join threads
  // that do not exist and touch an epoll set shared with the parent.
  g_runtime.store(nullptr, std::memory_order_relaxed);
}
}  // namespace fork_hooks

WorkerExecutor next_worker() {
  Runtime& runtime = instance();
  const std::size_t turn = runtime.next.fetch_add(1, std::memory_order_relaxed);
  return runtime.workers[turn % runtime.workers.size()]->io.get_executor();
}

std::size_t worker_count() { return instance().workers.size(); }

void name_this_thread(const char* name) {
#ifdef __APPLE__
  ::pthread_setname_np(name);
#else
  ::pthread_setname_np(::pthread_self(), name);
#endif
}

}  // namespace quellar::runtime
