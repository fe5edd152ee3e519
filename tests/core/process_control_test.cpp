#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "process_control.h"
#include "support.h"

using namespace quellar;
using namespace std::chrono_literals;

namespace {

// A shell leading its own process group, with a background sleep in the same
// group (and, if asked, a second one that escaped into its own session).
struct GroupUnderTest {
  pid_t leader = -1;
  pid_t descendant = -1;
  pid_t escaped = -1;

  explicit GroupUnderTest(bool with_escapee = false, const char* leader_trap = "") {
    int fds[2];
    if (::pipe(fds) != 0) std::abort();
    std::string script = std::string(leader_trap) +
                         "sleep 100 & echo $!; " +
                         (with_escapee ? "setsid sh -c 'echo $$; exec sleep 100' & " : "echo 0; ") +
                         "exec 1>&-; wait";
    // The escapee prints its pid only once it has its own session, so that
    // the group kill below cannot catch it before it left.
    leader = ::fork();
    if (leader == 0) {
      ::setpgid(0, 0);
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      ::close(fds[1]);
      ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::setpgid(leader, leader);  // no race with the child's own call
    ::close(fds[1]);
    FILE* in = ::fdopen(fds[0], "r");
    int a = 0, b = 0;
    if (std::fscanf(in, "%d %d", &a, &b) != 2) std::abort();
    std::fclose(in);
    descendant = a;
    escaped = b;
  }

  ~GroupUnderTest() {
    if (escaped > 0) ::kill(escaped, SIGKILL);
    ::kill(-leader, SIGKILL);
    ::waitpid(leader, nullptr, 0);
  }
};


}  // namespace

TEST(ProcessContainer, RecordsTheFirstIdOnly) {
  ProcessContainer container;
  auto absent = container.set_process_id(std::nullopt);
  ASSERT_FALSE(absent);
  EXPECT_EQ(absent.error().kind(), IoErrorKind::Other);
  EXPECT_EQ(absent.error().message(), "child process identifier unavailable");
  EXPECT_FALSE(container.set_process_id(0u));
  EXPECT_EQ(container.process_group(), 0);

  EXPECT_TRUE(container.set_process_id(4242u));
  EXPECT_TRUE(container.set_process_id(777u));
  EXPECT_EQ(container.process_group(), 4242);
}

TEST(ProcessContainer, WithoutAnIdStopsAreAlreadyDone) {
  ProcessContainer container;
  EXPECT_TRUE(container.request_graceful_stop());
  EXPECT_TRUE(container.terminate());
}

TEST(ProcessContainer, TerminateKillsTheLeaderAndItsGroupButNotAnEscapee) {
  GroupUnderTest group(/*with_escapee=*/true);
  ProcessContainer container;
  ASSERT_TRUE(container.set_process_id(static_cast<std::uint32_t>(group.leader)));

  ASSERT_TRUE(container.terminate());
  int status = 0;
  ASSERT_EQ(::waitpid(group.leader, &status, 0), group.leader);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
  EXPECT_TRUE(test::gone_within(group.descendant, 5s));
  // A descendant that started its own session left the group.
  EXPECT_TRUE(test::process_exists(group.escaped));
  EXPECT_FALSE(test::process_is_zombie(group.escaped));

  // The group no longer exists: signalling it still succeeds.
  EXPECT_TRUE(container.terminate());
  EXPECT_TRUE(container.request_graceful_stop());
}

TEST(ProcessContainer, GracefulStopSendsSigtermToTheGroup) {
  GroupUnderTest group;
  ProcessContainer container;
  ASSERT_TRUE(container.set_process_id(static_cast<std::uint32_t>(group.leader)));
  ASSERT_TRUE(container.request_graceful_stop());
  int status = 0;
  ASSERT_EQ(::waitpid(group.leader, &status, 0), group.leader);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_TRUE(test::gone_within(group.descendant, 5s));
}

TEST(ProcessContainer, SignalFailuresOtherThanAGoneGroupAreReported) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to signal from another user";
  GroupUnderTest group;
  // An unprivileged process may not signal root's group: EPERM is returned,
  // not taken for success like ESRCH.
  pid_t probe = ::fork();
  if (probe == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    ProcessContainer container;
    if (!container.set_process_id(static_cast<std::uint32_t>(group.leader))) ::_exit(4);
    auto killed = container.terminate();
    auto stopped = container.request_graceful_stop();
    bool both_eperm = !killed && killed.error().os_error() == EPERM && !stopped &&
                      stopped.error().kind() == IoErrorKind::Os &&
                      stopped.error().os_error() == EPERM;
    ::_exit(both_eperm ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(probe, &status, 0), probe);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(test::process_exists(group.leader));
}

TEST(ApplyLimits, AnyLimitIsUnsupported) {
  EXPECT_TRUE(apply_limits({}));
  ResourceLimits processes;
  processes.process_limit = 10;
  auto refused = apply_limits(processes);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), IoErrorKind::Unsupported);
  EXPECT_EQ(refused.error().message(),
            "kernel resource limits are unavailable for this containment backend");
  ResourceLimits memory;
  memory.memory_limit = 0;
  EXPECT_FALSE(apply_limits(memory));
}

TEST(LifecycleBroadcast, DeliversToLiveSubscribersOnly) {
  LifecycleBroadcast broadcast(2);
  EXPECT_EQ(broadcast.send(lifecycle::Exited{1, termination::TimedOut{}}), 0u);
  auto first = broadcast.subscribe();
  {
    auto dropped = broadcast.subscribe();
    EXPECT_EQ(broadcast.send(lifecycle::Started{7, {"/bin/x", "/bin/x"}}), 2u);
  }
  EXPECT_EQ(broadcast.send(lifecycle::Exited{7, termination::Cancelled{}}), 1u);
  EXPECT_EQ(broadcast.send(lifecycle::Exited{8, termination::Cancelled{}}), 1u);
  // Capacity 2: the oldest event was dropped for the slow subscriber.
  auto event = first->try_receive();
  ASSERT_TRUE(event);
  EXPECT_EQ(std::get<lifecycle::Exited>(*event).pid, 7u);
  EXPECT_EQ(std::get<lifecycle::Exited>(*first->try_receive()).pid, 8u);
  EXPECT_FALSE(first->try_receive());
}
