// What one supervised run of /bin/true costs, against a bare posix_spawn +
// waitpid of the same program, measured in the same process and run; and how
// many supervised runs per second complete with 64 in flight.
//
//   build/core/bin/spawn_bench [sequential-runs] [concurrent-runs]
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>

#include "supervisor/run.h"

extern char** environ;

using namespace quellar;
using Clock = std::chrono::steady_clock;

namespace {

double cpu_seconds(bool system_only = false) {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return (system_only ? 0 : seconds(usage.ru_utime)) + seconds(usage.ru_stime);
}

ExecutionRequest true_request() {
  ExecutionRequest request;
  request.executable = "/bin/true";
  return request;
}

struct Figures {
  double wall_us;
  double cpu_us;
  double system_us;  // the part of cpu_us spent in the kernel
};

template <class Body>
Figures measure(int runs, Body body) {
  double cpu = cpu_seconds(), system = cpu_seconds(true);
  auto start = Clock::now();
  for (int i = 0; i < runs; ++i) body();
  std::chrono::duration<double, std::micro> wall = Clock::now() - start;
  return {wall.count() / runs, (cpu_seconds() - cpu) * 1e6 / runs,
          (cpu_seconds(true) - system) * 1e6 / runs};
}

void bare_spawn() {
  char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
  pid_t pid;
  if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) != 0) std::abort();
  int status;
  waitpid(pid, &status, 0);
}

void supervised_run() {
  std::promise<RunOutcome> done;
  auto future = done.get_future();
  start_run(true_request(), {}, {}, [&done](RunOutcome outcome) { done.set_value(std::move(outcome)); });
  if (!std::holds_alternative<ExecutionOutput>(future.get())) std::abort();
}

double concurrent_runs_per_second(int total, int in_flight) {
  std::mutex lock;
  std::condition_variable cv;
  int started = 0, finished = 0, active = 0;
  auto start = Clock::now();
  std::unique_lock guard(lock);
  while (finished < total) {
    while (active < in_flight && started < total) {
      ++active;
      ++started;
      start_run(true_request(), {}, {}, [&](RunOutcome outcome) {
        if (!std::holds_alternative<ExecutionOutput>(outcome)) std::abort();
        std::lock_guard g(lock);
        --active;
        ++finished;
        cv.notify_one();
      });
    }
    cv.wait(guard);
  }
  std::chrono::duration<double> wall = Clock::now() - start;
  return total / wall.count();
}

}  // namespace

int main(int argc, char** argv) {
  const int sequential = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int concurrent = argc > 2 ? std::atoi(argv[2]) : 4000;

  supervised_run();  // start the runtime outside the measurement
  for (int round = 0; round < 2; ++round) {
    Figures bare = measure(sequential, bare_spawn);
    Figures supervised = measure(sequential, supervised_run);
    std::printf("sequential /bin/true, %d runs each (round %d)\n", sequential, round + 1);
    std::printf("  posix_spawn+waitpid   %8.1f us wall  %7.1f us cpu (%5.1f in kernel) per run\n",
                bare.wall_us, bare.cpu_us, bare.system_us);
    std::printf("  supervised run        %8.1f us wall  %7.1f us cpu (%5.1f in kernel) per run"
                "  (%.2fx the bare wall time)\n",
                supervised.wall_us, supervised.cpu_us, supervised.system_us,
                supervised.wall_us / bare.wall_us);
  }
  double rate = concurrent_runs_per_second(concurrent, 64);
  std::printf("concurrent: %d supervised runs of /bin/true, 64 in flight: %.0f runs/s\n", concurrent,
              rate);
  return 0;
}
