#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <thread>

#include "async_support.h"
#include "support.h"
#include "supervisor/spawn.h"

using namespace quellar;
using namespace std::chrono_literals;
using test::shell;

namespace {

SupervisedChild spawned(const ExecutionRequest& request, const ProcessRegistry* registry = nullptr) {
  auto child = test::run_blocking(runtime::next_worker(), spawn_internal(request, registry));
  if (!child) throw std::runtime_error(child.error().describe());
  return std::move(*child);
}

std::expected<ProcessReceipt, SandboxError> shut_down(SupervisedChild child,
                                                      std::chrono::nanoseconds grace) {
  auto executor = child.executor;
  return test::run_blocking(executor, SupervisedChild::shutdown(std::move(child), grace));
}

std::expected<ProcessReceipt, SandboxError> stop_group(SupervisedChild child,
                                                       std::chrono::nanoseconds grace) {
  auto executor = child.executor;
  return test::run_blocking(executor, SupervisedChild::stop_group(std::move(child), grace));
}

std::expected<SupervisedChild, SandboxError> try_spawn(const ExecutionRequest& request) {
  return test::run_blocking(runtime::next_worker(), spawn(request));
}


// Reads one line of the child's standard output, synchronously.
std::string read_line(SupervisedChild& child) {
  std::string line;
  char c;
  while (child.stdout_pipe->read_some(asio::buffer(&c, 1)) == 1 && c != '\n') line.push_back(c);
  return line;
}

}  // namespace

TEST(Spawn, ChildLeadsItsGroupWithAllStreamsPiped) {
  auto child = spawned(shell("ps -o pgid= -p $$; cat"));
  ASSERT_TRUE(child.pid.has_value());
  EXPECT_EQ(child.container->process_group(), static_cast<int>(*child.pid));
  EXPECT_EQ(std::stoi(read_line(child)), static_cast<int>(*child.pid));
  EXPECT_TRUE(child.stdin_pipe && child.stdout_pipe && child.stderr_pipe);
  EXPECT_EQ(child.enforcement, EnforcementLevel::Degraded);
  EXPECT_TRUE(child.kill_on_drop);
  auto receipt = shut_down(std::move(child), 2s);  // cat ends when its input closes
  ASSERT_TRUE(receipt);
  EXPECT_EQ(std::get<termination::Exited>(receipt->termination).exit, (ProcessExit{0, std::nullopt}));
}

TEST(Spawn, ValidationAndSpawnFailuresStartNothing) {
  auto before = test::child_process_count();
  ExecutionRequest relative;
  relative.executable = "sh";
  EXPECT_EQ(try_spawn(relative).error().code(), "relative_executable");
  auto required = shell("true");
  required.policy.enforcement = EnforcementMode::Required;
  EXPECT_EQ(try_spawn(required).error().code(), "sandbox_enforcement_unavailable");
  EXPECT_EQ(test::child_process_count(), before);
}

TEST(Shutdown, ChildThatEndsWithItsInputNeedsNoSignal) {
  auto start = std::chrono::steady_clock::now();
  auto receipt = shut_down(spawned(shell("cat")), 10s);
  ASSERT_TRUE(receipt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "waited for the grace period";
  EXPECT_EQ(std::get<termination::Exited>(receipt->termination).exit.code, 0);
  EXPECT_EQ(receipt->enforcement, EnforcementLevel::Degraded);
  EXPECT_LE(receipt->started_at, receipt->finished_at);
}

TEST(Shutdown, SigtermEndsAChildThatHonoursIt) {
  auto receipt = shut_down(spawned(shell("exec sleep 100")), 200ms);
  ASSERT_TRUE(receipt);
  EXPECT_EQ(std::get<termination::Exited>(receipt->termination).exit,
            (ProcessExit{std::nullopt, SIGTERM}));
}

TEST(Shutdown, ChildIgnoringSigtermIsKilledAfterTheGraceAndTimesOut) {
  auto child = spawned(shell("trap '' TERM; echo ready; while :; do sleep 1; done"));
  ASSERT_EQ(read_line(child), "ready");
  const int pid = static_cast<int>(*child.pid);
  auto start = std::chrono::steady_clock::now();
  auto receipt = shut_down(std::move(child), 300ms);
  auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(receipt);
  EXPECT_TRUE(std::holds_alternative<termination::TimedOut>(receipt->termination));
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 5s);
  EXPECT_TRUE(test::gone_within(pid));
}

TEST(Shutdown, GraceSplitsExactly) {
  auto [first, second] = split_grace(1s + 1ns);
  EXPECT_EQ(first.count(), 500000000);
  EXPECT_EQ(second.count(), 500000001);
  auto [a, b] = split_grace(3s);
  EXPECT_EQ(a, 1500ms);
  EXPECT_EQ(b, 1500ms);
  auto [zero_a, zero_b] = split_grace(-5s);
  EXPECT_EQ(zero_a.count(), 0);
  EXPECT_EQ(zero_b.count(), 0);
}

TEST(DropRules, DroppingARunningChildKillsItsGroupAndLeavesNoZombie) {
  const int children_before = test::child_process_count();
  int grandchild = 0;
  {
    auto child = spawned(shell("sleep 100 & echo $!; wait"));
    grandchild = std::stoi(read_line(child));
    ASSERT_TRUE(test::process_exists(grandchild));
  }
  EXPECT_TRUE(test::gone_within(grandchild));
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (test::child_process_count() > children_before && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(test::child_process_count(), children_before) << "a zombie was left behind";
}

TEST(DropRules, DroppingAnExitedChildSignalsNothing) {
  // The group id of an exited, unreaped child still names its group: a
  // sleeper that stayed in it would die if the drop signalled the group.
  auto child = spawned(shell("sleep 100 >/dev/null 2>&1 & echo $!"));
  const int sleeper = std::stoi(read_line(child));
  auto executor = child.executor;
  auto waited = test::run_blocking(executor, child.child->wait());
  ASSERT_TRUE(waited);
  { auto dropped = std::move(child); }
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(test::process_exists(sleeper));
  ::kill(sleeper, SIGKILL);
}

TEST(ChildProcess, WaitTwiceGivesTheSameExitAndKillAfterReapIsSilent) {
  auto child = spawned(shell("exit 7"));
  auto executor = child.executor;
  auto first = test::run_blocking(executor, child.child->wait());
  auto second = test::run_blocking(executor, child.child->wait());
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->code, 7);
  EXPECT_EQ(*first, *second);
  terminate_process_tree(*child.child, *child.container);
  EXPECT_TRUE(child.child->start_kill());
  EXPECT_FALSE(child.child->id().has_value());
}

TEST(Registry, LeaseRegistersAnnouncesAndUnregisters) {
  ProcessRegistry registry;
  auto events = registry.events()->subscribe();
  auto child = spawned(shell("exit 0"), &registry);
  const auto pid = *child.pid;
  EXPECT_EQ(registry.find(pid), child.container);
  auto started = events->try_receive();
  ASSERT_TRUE(started);
  EXPECT_EQ(std::get<lifecycle::Started>(*started).pid, pid);
  EXPECT_EQ(std::get<lifecycle::Started>(*started).executable.requested, "/bin/sh");

  auto executor = child.executor;
  auto exit = test::run_blocking(executor, child.child->wait());
  auto receipt = child.complete(termination::Exited{*exit});
  EXPECT_FALSE(child.pid.has_value());
  EXPECT_EQ(registry.size(), 0u);
  auto exited = events->try_receive();
  ASSERT_TRUE(exited);
  EXPECT_EQ(std::get<lifecycle::Exited>(*exited).pid, pid);
  EXPECT_EQ(receipt.executable.requested, "/bin/sh");
}

TEST(Registry, DroppingARegisteredChildKillsTheGroupItsRegistrationPromised) {
  ProcessRegistry registry;
  int grandchild = 0;
  {
    auto child = spawned(shell("sleep 100 & echo $!; wait"), &registry);
    grandchild = std::stoi(read_line(child));
    // Without kill_on_drop the drop would kill only the leader itself; the
    // registration still has the grandchild in its group killed.
    child.kill_on_drop = false;
    EXPECT_TRUE(child.registered());
  }
  EXPECT_TRUE(test::gone_within(grandchild));
  EXPECT_EQ(registry.size(), 0u);
}

TEST(StopGroup, SigtermEndsACooperativeChild) {
  auto receipt = stop_group(spawned(shell("exec sleep 100")), 250ms);
  ASSERT_TRUE(receipt);
  EXPECT_EQ(std::get<termination::Exited>(receipt->termination).exit,
            (ProcessExit{std::nullopt, SIGTERM}));
}

TEST(StopGroup, AnExitedLeaderWithNothingLeftIsNotWaitedFor) {
  auto child = spawned(shell("exit 2"));
  auto executor = child.executor;
  ASSERT_TRUE(test::run_blocking(executor, child.child->wait()));
  auto start = std::chrono::steady_clock::now();
  auto receipt = stop_group(std::move(child), 10s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  ASSERT_TRUE(receipt);
  EXPECT_EQ(std::get<termination::Exited>(receipt->termination).exit, (ProcessExit{2, std::nullopt}));
}

TEST(StopGroup, ReachesWhatIsLeftOfTheGroupAfterTheLeaderExited) {
  // One member honours SIGTERM, one ignores it: both are gone by the end
  // of the grace, and the leader's own exit is the receipt.
  auto child = spawned(shell("sleep 100 & echo $!; (trap '' TERM; while :; do sleep 1; done) & echo $!; exit 3"));
  const int polite = std::stoi(read_line(child));
  const int stubborn = std::stoi(read_line(child));
  auto executor = child.executor;
  ASSERT_TRUE(test::run_blocking(executor, child.child->wait()));
  auto start = std::chrono::steady_clock::now();
  auto receipt = stop_group(std::move(child), 300ms);
  auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(receipt);
  EXPECT_EQ(std::get<termination::Exited>(receipt->termination).exit, (ProcessExit{3, std::nullopt}));
  EXPECT_TRUE(test::gone_within(polite, 1s));
  EXPECT_TRUE(test::gone_within(stubborn, 1s));
  EXPECT_LT(took, 3s);
}

TEST(DropRules, AnAbandonedSupervisionKillsTheGroupAfterTheLeaderExited) {
  // The pipelines' policy: whatever the leader does, the group goes.
  auto child = spawned(shell("sleep 100 >/dev/null 2>&1 & echo $!"));
  const int member = std::stoi(read_line(child));
  auto executor = child.executor;
  ASSERT_TRUE(test::run_blocking(executor, child.child->wait()));
  child.drop_policy = DropPolicy::KillGroup;
  { auto dropped = std::move(child); }
  EXPECT_TRUE(test::gone_within(member));
}
