// The blocking-work pool: a stuck call holds up only its own request, and a
// burst of short calls adds no thread.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

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
    blocking::post([path = fifos.back(), opened] {
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) ::close(fd);
      opened->set_value();
    });
  }
  auto served = std::make_shared<std::promise<void>>();
  auto quick = served->get_future();
  blocking::post([served] { served->set_value(); });
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
      blocking::post([finished] {
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

}  // namespace
}  // namespace quellar
