// The sandbox launcher's handshake against a launcher that never reports (as
// one stuck in a hung file system): cancelling the run or the stream ends it
// at once, launcher killed, instead of at the time limit.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "async_support.h"
#include "platform/launcher.h"
#include "support.h"

using namespace quellar;
using namespace std::chrono_literals;

namespace {

// Far longer than the waits below: a handshake that ignores the cancellation
// ends only here, and the test fails instead of hanging.
constexpr std::uint64_t kTimeoutMs = 60000;

// A launcher that records its pid and then holds its status pipe open,
// without a word, for longer than any test runs.
class StuckLauncher : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::set_sandbox_launcher_for_testing(
        dir_.make_file("launcher", "#!/bin/sh\necho $$ > " + pid_file() + "\nexec sleep 600\n", 0700));
  }
  void TearDown() override { platform::set_sandbox_launcher_for_testing(std::nullopt); }

  std::string pid_file() const { return dir_ / "launcher.pid"; }

  static ExecutionRequest contained() {
    auto request = test::shell("echo never", kTimeoutMs);
    request.policy.network = NetworkPolicy::Disabled;  // goes through the launcher
    return request;
  }

  test::TempDir dir_;
};

TEST_F(StuckLauncher, CancellingARunEndsItsHandshake) {
  CancellationToken token;
  auto outcome = std::async(std::launch::async,
                            [&] { return test::run_blocking(contained(), {}, token); });
  const int launcher = test::read_number_within(pid_file());
  ASSERT_GT(launcher, 0);
  // The handshake is under way: the run is waiting for the launcher.
  ASSERT_EQ(outcome.wait_for(500ms), std::future_status::timeout);
  token.cancel();
  ASSERT_EQ(outcome.wait_for(20s), std::future_status::ready) << "the handshake ignored the cancellation";
  auto output = test::expect_output(outcome.get());
  EXPECT_TRUE(std::holds_alternative<termination::Cancelled>(output.termination));
  EXPECT_TRUE(output.stdout_bytes.empty());
  EXPECT_TRUE(test::gone_within(launcher));
  EXPECT_TRUE(test::no_children_within());
}

TEST_F(StuckLauncher, CancellingAStreamEndsItsHandshake) {
  CancellationToken caller;
  auto outcome = std::async(std::launch::async,
                            [&] { return test::start_stream_blocking(contained(), false, caller); });
  const int launcher = test::read_number_within(pid_file());
  ASSERT_GT(launcher, 0);
  ASSERT_EQ(outcome.wait_for(500ms), std::future_status::timeout);
  caller.cancel();
  ASSERT_EQ(outcome.wait_for(20s), std::future_status::ready) << "the handshake ignored the cancellation";
  auto started = outcome.get();
  ASSERT_TRUE(std::holds_alternative<std::shared_ptr<StreamQueue>>(started));
  auto& queue = *std::get<std::shared_ptr<StreamQueue>>(started);
  // The stream began, and ends as a cancelled stream does.
  auto first = test::receive(queue);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->kind, StreamItem::Kind::Started);
  std::optional<StreamItem> last;
  while (auto item = test::receive(queue)) last = std::move(*item);
  ASSERT_TRUE(last);
  ASSERT_EQ(last->kind, StreamItem::Kind::Exited);
  EXPECT_TRUE(std::holds_alternative<termination::Cancelled>(last->result->receipt.termination));
  EXPECT_TRUE(test::gone_within(launcher));
  EXPECT_TRUE(test::no_children_within());
}

}  // namespace
