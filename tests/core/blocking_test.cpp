// The blocking-work pool: a stuck call holds up only its own request, a
// burst of short calls adds no thread, and without any thread a start fails
// instead of running on its caller's thread.
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "async_support.h"
#include "blocking.h"
#include "support.h"

namespace quellar {
namespace {

using namespace std::chrono_literals;

std::size_t thread_count() {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                                std::filesystem::directory_iterator()));
}

TEST(BlockingPool, AStuckCallHoldsUpOnlyItsOwnRequest) {
  // Opening a FIFO for reading blocks in the kernel until a writer comes:
  // as stuck as a call on a hung mount, for as long as the test likes.
  test::TempDir dir;
  std::vector<std::string> fifos;
  std::vector<std::future<void>> stuck;
  for (int i = 0; i < 3; ++i) {
    fifos.push_back(dir / ("fifo" + std::to_string(i)));
    ASSERT_EQ(::mkfifo(fifos.back().c_str(), 0600), 0);
    auto opened = std::make_shared<std::promise<void>>();
    stuck.push_back(opened->get_future());
    blocking::post([path = fifos.back(), opened](blocking::PoolThread) {
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) ::close(fd);
      opened->set_value();
    });
  }
  auto served = std::make_shared<std::promise<void>>();
  auto quick = served->get_future();
  blocking::post([served](blocking::PoolThread) { served->set_value(); });
  EXPECT_EQ(quick.wait_for(10s), std::future_status::ready);
  for (auto& call : stuck) EXPECT_EQ(call.wait_for(0s), std::future_status::timeout);
  for (const auto& fifo : fifos) {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);  // releases its reader
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  for (auto& call : stuck) EXPECT_EQ(call.wait_for(10s), std::future_status::ready);
}

TEST(BlockingPool, ABurstOfShortCallsAddsNoThread) {
  auto burst = [](int calls) {
    std::vector<std::future<void>> done;
    for (int i = 0; i < calls; ++i) {
      auto finished = std::make_shared<std::promise<void>>();
      done.push_back(finished->get_future());
      // A short call: well below what counts as stuck.
      blocking::post([finished](blocking::PoolThread) {
        std::this_thread::sleep_for(1ms);
        finished->set_value();
      });
    }
    for (auto& call : done) call.wait();
  };
  burst(20);  // the ready threads and the watchdog exist from here on
  const std::size_t before = thread_count();
  burst(200);  // 100 ms of calls queued at once on two threads
  // One more is tolerated: a thread descheduled for long looks stuck.
  EXPECT_LE(thread_count(), before + 1);
}

// The address space this process maps now, in bytes.
std::size_t mapped_bytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmSize:")) return std::stoul(line.substr(7)) * 1024;
  }
  return 0;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

TEST(BlockingPool, WithoutAnyThreadAStartFailsOnItsCallersThread) {
  // A launcher started from the caller's thread would die with it: the start
  // must not run there, and must not leave its caller without an answer.
  if (kSanitized) GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address-space limit";
  // In a forked child: its pool starts empty, and its limit is its own.
  const pid_t pid = ::fork();
  if (pid == 0) {
    // No room for a thread's stack: no thread can be made. A new thread
    // asks for more stack than the stacks glibc kept from the parent's
    // threads (which it would reuse without a new mapping), and the address
    // space has no room for that much.
    pthread_attr_t large;
    ::pthread_attr_init(&large);
    const bool sized = ::pthread_attr_setstacksize(&large, std::size_t{256} << 20) == 0 &&
                       ::pthread_setattr_default_np(&large) == 0;
    const rlim_t limit = mapped_bytes() + (std::size_t{16} << 20);
    const rlimit tight{limit, limit};
    if (!sized || mapped_bytes() == 0 || ::setrlimit(RLIMIT_AS, &tight) != 0) ::_exit(16);
    auto outcome = test::run_blocking(test::shell("exit 0"));
    auto* error = std::get_if<SandboxError>(&outcome);
    if (!error) ::_exit(std::holds_alternative<ExecutionOutput>(outcome) ? 1 : 2);
    const bool spawn_failed = error->code() == "spawn_failed";
    const bool says_why = error->source() && error->source()->message().find("no thread") != std::string::npos;
    ::_exit((spawn_failed ? 0 : 4) | (says_why ? 0 : 8));
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the child was killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "1: the run ran on the caller's thread, 2: a task failure, 4: not spawn_failed, "
         "8: no word about threads, 16: no limit could be set";
}

}  // namespace
}  // namespace quellar
