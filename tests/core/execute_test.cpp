#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "async_support.h"
#include "platform/launcher.h"
#include "events/stream.h"
#include "supervisor/live_children.h"
#include "supervisor/pipeline.h"
#include "support.h"

using namespace quellar;
using namespace std::chrono_literals;
using test::expect_error;
using test::expect_output;
using test::run_blocking;
using test::shell;

namespace {

ProcessExit exited(const ExecutionOutput& output) {
  auto* exit = std::get_if<termination::Exited>(&output.termination);
  EXPECT_NE(exit, nullptr) << "termination " << termination_name(output.termination);
  return exit ? exit->exit : ProcessExit{};
}



int first_number(std::string_view text) { return std::atoi(std::string(text).c_str()); }

}  // namespace

TEST(Execute, CapturesBothStreamsAndTheExitCode) {
  auto output = expect_output(run_blocking(shell("printf hello; printf oops >&2; exit 3")));
  EXPECT_EQ(output.stdout_bytes, "hello");
  EXPECT_EQ(output.stderr_bytes, "oops");
  EXPECT_EQ(exited(output), (ProcessExit{3, std::nullopt}));
  EXPECT_FALSE(output.success);
  EXPECT_EQ(output.enforcement, EnforcementLevel::Degraded);
  EXPECT_EQ(output.executable.requested, "/bin/sh");
  EXPECT_TRUE(output.executable.canonical.has_value());

  auto ok = expect_output(run_blocking(shell("exit 0")));
  EXPECT_TRUE(ok.success);
  EXPECT_EQ(exited(ok), (ProcessExit{0, std::nullopt}));
}

TEST(Execute, FeedsInputAndClosesIt) {
  auto echoed = expect_output(run_blocking(shell("cat"), "abc"));
  EXPECT_EQ(echoed.stdout_bytes, "abc");
  auto binary = expect_output(run_blocking(shell("cat"), std::string("a\0b", 3)));
  EXPECT_EQ(binary.stdout_bytes, std::string("a\0b", 3));
  // Empty input: the child reads end of file at once.
  auto empty = expect_output(run_blocking(shell("cat; echo end")));
  EXPECT_EQ(empty.stdout_bytes, "end\n");
}

TEST(Execute, StartsFromAnEmptyEnvironmentWithCleanSignals) {
  ::setenv("QUELLAR_SHOULD_NOT_LEAK", "1", 1);
  ExecutionRequest env;
  env.executable = "/usr/bin/env";
  auto nothing = expect_output(run_blocking(env));
  EXPECT_EQ(nothing.stdout_bytes, "");

  env.environment.variables = {{"ONLY", "this"}};
  EXPECT_EQ(expect_output(run_blocking(env)).stdout_bytes, "ONLY=this\n");

  // The supervisor's threads block every signal and hosts such as Python
  // ignore SIGPIPE; neither reaches the child.
  auto old = ::signal(SIGPIPE, SIG_IGN);
  auto status = expect_output(run_blocking(shell(
      "grep -E '^Sig(Blk|Ign)' /proc/self/status; yes | head -c1 >/dev/null; echo done")));
  ::signal(SIGPIPE, old);
  unsigned long long blocked = 0, ignored = 0;
  ASSERT_EQ(std::sscanf(status.stdout_bytes.str().c_str(), "SigBlk:\t%llx\nSigIgn:\t%llx", &blocked,
                        &ignored),
            2)
      << status.stdout_bytes;
  EXPECT_EQ(blocked, 0u);
  // No standard signal is ignored (glibc keeps its two internal real-time
  // signals ignored in every child it spawns).
  EXPECT_EQ(ignored & 0x7fffffffu, 0u);
  EXPECT_TRUE(status.stdout_bytes.view().ends_with("done\n"));
  EXPECT_EQ(status.stderr_bytes, "") << "yes saw a broken pipe instead of dying of SIGPIPE";
}

TEST(Execute, ChildHoldsOnlyItsStandardStreams) {
  int leaked = ::open("/dev/null", O_RDONLY);  // deliberately inheritable
  ASSERT_GT(leaked, 2);
  auto output = expect_output(run_blocking(shell("ls /proc/$$/fd")));
  ::close(leaked);
  EXPECT_EQ(output.stdout_bytes, "0\n1\n2\n") << "the child inherited descriptors";
}

TEST(Execute, LeadsItsOwnProcessGroup) {
  auto output = expect_output(run_blocking(shell("ps -o pid=,pgid= -p $$")));
  int pid = 0, pgid = 0;
  ASSERT_EQ(std::sscanf(output.stdout_bytes.str().c_str(), "%d %d", &pid, &pgid), 2);
  EXPECT_EQ(pid, pgid);
  EXPECT_NE(pgid, ::getpgrp());
}

TEST(Execute, OutputLimitsCutExactly) {
  auto exact = shell("head -c 10000 /dev/zero");
  exact.max_stdout_bytes = 10000;
  auto fits = expect_output(run_blocking(exact));
  EXPECT_EQ(fits.stdout_bytes.size(), 10000u);
  EXPECT_TRUE(fits.success);

  // One byte more: exactly the limit kept, the whole group killed.
  auto over = shell("sleep 100 & echo $! >&2; head -c 10001 /dev/zero; wait");
  over.max_stdout_bytes = 10000;
  auto cut = expect_output(run_blocking(over));
  EXPECT_EQ(cut.stdout_bytes, std::string(10000, '\0'));
  EXPECT_TRUE(std::holds_alternative<termination::StdoutLimitExceeded>(cut.termination));
  EXPECT_FALSE(cut.success);
  EXPECT_TRUE(test::gone_within(first_number(cut.stderr_bytes)));

  auto err = shell("head -c 8193 /dev/zero >&2; exit 0");
  err.max_stderr_bytes = 8192;
  auto err_cut = expect_output(run_blocking(err));
  EXPECT_EQ(err_cut.stderr_bytes.size(), 8192u);
  EXPECT_TRUE(std::holds_alternative<termination::StderrLimitExceeded>(err_cut.termination));
}

TEST(Execute, ALargeCaptureKeepsEveryByteInOrder) {
  // Several megabytes: many buffer blocks, and a pipe grown on the way.
  auto request = shell("seq 1 500000");
  request.max_stdout_bytes = 8 << 20;
  std::string expected;
  for (int i = 1; i <= 500000; ++i) expected += std::to_string(i) + "\n";
  auto output = expect_output(run_blocking(request));
  ASSERT_EQ(output.stdout_bytes.size(), expected.size());
  EXPECT_TRUE(output.stdout_bytes.str() == expected);
}

TEST(Execute, ExcessOutputBeforeAQuickExitStillCountsAsOverflow) {
  auto request = shell("printf 0123456789ab; exit 0");
  request.max_stdout_bytes = 10;
  auto output = expect_output(run_blocking(request));
  EXPECT_EQ(output.stdout_bytes, "0123456789");
  EXPECT_TRUE(std::holds_alternative<termination::StdoutLimitExceeded>(output.termination));
}

TEST(Execute, TimeoutKillsTheWholeGroup) {
  auto start = std::chrono::steady_clock::now();
  auto output = expect_output(run_blocking(shell("sleep 100 & echo $!; wait", 300)));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(std::holds_alternative<termination::TimedOut>(output.termination));
  EXPECT_FALSE(output.success);
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 5s);
  EXPECT_TRUE(test::gone_within(first_number(output.stdout_bytes)));
}

TEST(Execute, CancellationDuringTheRunKillsTheGroup) {
  test::TempDir dir;
  const std::string pid_file = dir / "member";
  CancellationToken token;
  // Cancelled once the group is there, as its member says.
  std::thread canceller([token, pid_file] {
    test::read_number_within(pid_file);
    token.cancel();
  });
  auto output = expect_output(run_blocking(shell("sleep 100 & echo $! > " + pid_file + "; wait"), {}, token));
  canceller.join();
  EXPECT_TRUE(std::holds_alternative<termination::Cancelled>(output.termination));
  EXPECT_TRUE(test::gone_within(test::read_number_within(pid_file)));
}

TEST(Execute, TokenCancelledBeforeTheCallStillSpawnsThenKills) {
  CancellationToken token;
  token.cancel();
  auto output = expect_output(run_blocking(shell("sleep 100", 10000), {}, token));
  EXPECT_TRUE(std::holds_alternative<termination::Cancelled>(output.termination));
  EXPECT_FALSE(output.success);
  EXPECT_TRUE(output.executable.canonical.has_value());
}

TEST(Execute, DeathBySignalIsAnExitWithoutCode) {
  auto output = expect_output(run_blocking(shell("kill -9 $$")));
  EXPECT_EQ(exited(output), (ProcessExit{std::nullopt, 9}));
  EXPECT_FALSE(output.success);
}

TEST(Execute, AChildThatIgnoresItsInputStillGivesItsResult) {
  // Exiting, or closing the input, before reading all of it is the child's
  // choice: the writer's broken pipe is not the run's failure. Whether the
  // writer gets its bytes into the pipe before the child is gone is a race,
  // hence the repetitions.
  struct Case {
    const char* script;
    std::size_t input;
    const char* out;
    int code;
  };
  for (const Case& c : {Case{"exit 0", 1, "", 0}, Case{"head -c 10", 200000, "xxxxxxxxxx", 0},
                        Case{"echo result; exit 4", 100000, "result\n", 4},
                        Case{"exit 0", 4 << 20, "", 0}}) {
    auto request = shell(c.script);
    request.max_stdin_bytes = c.input;
    for (int i = 0; i < 60; ++i) {
      auto output = expect_output(run_blocking(request, std::string(c.input, 'x')));
      ASSERT_EQ(output.stdout_bytes, c.out) << c.script;
      ASSERT_EQ(exited(output).code, c.code) << c.script;
    }
  }
  // Input that fits into the pipe before the exit is fine, read or not.
  auto small = expect_output(run_blocking(shell("sleep 0.2; exit 0"), "tiny"));
  EXPECT_TRUE(small.success);
}

TEST(Execute, EscapedDescendantHoldingStdoutCannotHoldTheRunPastItsTimeout) {
  auto start = std::chrono::steady_clock::now();
  auto output = expect_output(
      run_blocking(shell("setsid sh -c 'echo $$; exec sleep 100' & exit 0", 400)));
  auto took = std::chrono::steady_clock::now() - start;
  int escapee = first_number(output.stdout_bytes);
  ASSERT_GT(escapee, 0);
  ::kill(escapee, SIGKILL);
  EXPECT_TRUE(std::holds_alternative<termination::TimedOut>(output.termination));
  EXPECT_EQ(output.stdout_bytes.back(), '\n') << "what was captured is kept";
  EXPECT_LT(took, 400ms + kPipeGrace + 2s);
}

TEST(Execute, EscapedDescendantHoldingStdinCannotHoldTheRunForever) {
  test::TempDir dir;
  std::string pid_file = dir / "escapee";
  std::string large(1 << 20, 'x');
  // sh gives a background job /dev/null as its input unless it is
  // redirected explicitly: descriptor 3 carries the real one over.
  auto request = shell("exec 3<&0; setsid sh -c 'echo $$ > " + pid_file +
                           "; exec sleep 100' <&3 >/dev/null 2>&1 & exit 0",
                       60000);
  request.max_stdin_bytes = large.size();
  auto start = std::chrono::steady_clock::now();
  auto outcome = run_blocking(request, large);
  auto took = std::chrono::steady_clock::now() - start;
  // The escapee writes its pid on its own time.
  const int escapee = test::read_number_within(pid_file);
  if (escapee > 0) ::kill(escapee, SIGKILL);
  auto error = expect_error(std::move(outcome));
  EXPECT_EQ(error.code(), "stdin_failed");
  EXPECT_LT(took, 5s) << "the run waited for a pipe held outside the group";
}

TEST(ExecuteFailures, ValidationErrorsCarryNoExecutable) {
  ExecutionRequest relative;
  relative.executable = "bin/sh";
  auto error = expect_error(run_blocking(relative));
  EXPECT_EQ(error.code(), "relative_executable");
  EXPECT_EQ(error.executable(), nullptr);

  auto big = shell("cat");
  big.max_stdin_bytes = 2;
  EXPECT_EQ(expect_error(run_blocking(big, "abc")).code(), "input_too_large");
}

TEST(ExecuteFailures, SpawnErrorsCarryTheExecutableAndTheOsError) {
  test::TempDir dir;
  auto missing_cwd = shell("true");
  missing_cwd.cwd = dir / "missing";
  auto error = expect_error(run_blocking(missing_cwd));
  EXPECT_EQ(error.code(), "spawn_failed");
  EXPECT_EQ(error.phase(), SandboxPhase::Spawn);
  ASSERT_NE(error.executable(), nullptr);
  EXPECT_EQ(error.executable()->requested, "/bin/sh");
  EXPECT_EQ(error.source()->os_error(), ENOENT);

  ExecutionRequest not_executable;
  not_executable.executable = dir.make_file("script", "#!/bin/sh\n", 0644);
  error = expect_error(run_blocking(not_executable));
  EXPECT_EQ(error.code(), "spawn_failed");
  EXPECT_EQ(error.source()->os_error(), EACCES);

  auto nul_arg = shell(std::string("echo a\0b", 8));
  error = expect_error(run_blocking(nul_arg));
  EXPECT_EQ(error.code(), "spawn_failed");
  EXPECT_EQ(error.source()->message(), "nul byte found in provided data");

  auto nul_value = shell("true");
  nul_value.environment.variables = {{"V", std::string("a\0b", 3)}};
  EXPECT_EQ(expect_error(run_blocking(nul_value)).source()->message(),
            "nul byte found in provided data");

  // The working directory is used as given, so a relative spelling inside
  // it still works.
  auto in_dir = shell("pwd");
  in_dir.cwd = dir.path() + "/.";
  EXPECT_EQ(expect_output(run_blocking(in_dir)).stdout_bytes, dir.path() + "\n");
}

TEST(ExecuteFailures, RefusalsBeforeSpawnKeepTheirOrder) {
  auto required = shell("true");
  required.policy.enforcement = EnforcementMode::Required;
  auto error = expect_error(run_blocking(required));
  EXPECT_EQ(error.code(), "sandbox_enforcement_unavailable");
  EXPECT_EQ(error.phase(), SandboxPhase::Validate);
  ASSERT_NE(error.executable(), nullptr);

  // A bad filesystem policy is reported first, as a spawn failure.
  required.policy.filesystem = FilesystemPolicy{{{"relative", {FilesystemAccess::Read}}}};
  EXPECT_EQ(expect_error(run_blocking(required)).code(), "spawn_failed");

  auto limits = shell("true");
  limits.resource_limits.process_limit = 4;
  error = expect_error(run_blocking(limits));
  EXPECT_EQ(error.code(), "spawn_failed");
  EXPECT_EQ(error.source()->kind(), IoErrorKind::Unsupported);

  auto forbidden = shell("true");
  forbidden.environment.variables = {{"LD_PRELOAD", "/x.so"}};
  error = expect_error(run_blocking(forbidden));
  EXPECT_EQ(error.code(), "forbidden_environment_variable");
  ASSERT_NE(error.executable(), nullptr);
  EXPECT_EQ(error.executable()->requested, "/bin/sh");
}

TEST(ExecuteFailures, MissingLauncherFailsWrappedRequests) {
  test::TempDir dir;
  platform::set_sandbox_launcher_for_testing(dir / "absent");
  auto network = shell("true");
  network.policy.network = NetworkPolicy::Disabled;
  auto error = expect_error(run_blocking(network));
  auto filesystem = shell("true");
  filesystem.policy.filesystem = FilesystemPolicy{};
  auto fs_error = expect_error(run_blocking(filesystem));
  platform::set_sandbox_launcher_for_testing(std::nullopt);
  EXPECT_EQ(error.code(), "spawn_failed");
  EXPECT_EQ(error.source()->kind(), IoErrorKind::Unsupported);
  EXPECT_EQ(fs_error.code(), "spawn_failed");
}

TEST(ExecuteLeaks, ThousandsOfRunsLeaveNoDescriptorOrProcess) {
  ASSERT_TRUE(test::no_children_within());
  // Warm every worker up so that the runtime's own descriptors are counted before.
  for (std::size_t i = 0; i < runtime::worker_count(); ++i) expect_output(run_blocking(shell("true")));
  const int fds_before = test::open_fd_count();

  for (int i = 0; i < 2000; ++i) {
    auto output = expect_output(run_blocking(shell("printf x; printf y >&2")));
    // A lost event would leave a slot empty or hang the run until timeout.
    ASSERT_EQ(output.stdout_bytes, "x");
    ASSERT_EQ(output.stderr_bytes, "y");
  }
  for (int i = 0; i < 200; ++i) {
    auto output = expect_output(run_blocking(shell("sleep 10", 5)));
    ASSERT_TRUE(std::holds_alternative<termination::TimedOut>(output.termination));
  }
  for (int i = 0; i < 200; ++i) {
    CancellationToken token;
    if (i % 2 == 0) token.cancel();
    std::thread canceller;
    if (i % 2 == 1) canceller = std::thread([token] { token.cancel(); });
    auto output = expect_output(run_blocking(shell("sleep 10"), "in", token));
    if (canceller.joinable()) canceller.join();
    ASSERT_TRUE(std::holds_alternative<termination::Cancelled>(output.termination));
  }
  for (int i = 0; i < 200; ++i) {
    auto over = shell("yes");
    over.max_stdout_bytes = 100;
    auto output = expect_output(run_blocking(over));
    ASSERT_EQ(output.stdout_bytes.size(), 100u);
  }
  EXPECT_TRUE(test::no_children_within());
  EXPECT_EQ(test::open_fd_count(), fds_before);
}

TEST(ExecuteFork, AForkedChildGetsAWorkingRuntime) {
  expect_output(run_blocking(shell("true")));  // the parent's runtime is running
  pid_t pid = ::fork();
  if (pid == 0) {
    auto outcome = run_blocking(shell("printf forked"));
    auto* output = std::get_if<ExecutionOutput>(&outcome);
    ::_exit(output && output->stdout_bytes == "forked" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // And the parent's runtime is unaffected.
  EXPECT_EQ(expect_output(run_blocking(shell("printf parent"))).stdout_bytes, "parent");
}

TEST(ExecuteExit, TerminateAllChildrenKillsEveryGroupAndRefusesNewRuns) {
  // In a forked process: the switch it flips is process-wide and final.
  expect_output(run_blocking(shell("true")));
  test::TempDir dir;
  const std::string pid_file = dir / "grandchild";
  pid_t pid = ::fork();
  if (pid == 0) {
    std::promise<RunOutcome> first;
    auto outcome = first.get_future();
    start_run(shell("sleep 100 & echo $! > " + pid_file + "; wait"), {}, {},
              [&first](RunOutcome o) { first.set_value(std::move(o)); });
    const int grandchild = test::read_number_within(pid_file);
    terminate_all_children();
    const bool killed = grandchild > 0 && test::gone_within(grandchild);
    const bool finished = outcome.wait_for(5s) == std::future_status::ready;
    auto refused = run_blocking(shell("true"));
    auto* error = std::get_if<SandboxError>(&refused);
    const bool refusing = error && error->code() == "spawn_failed";
    ::_exit((killed ? 0 : 1) | (finished ? 0 : 2) | (refusing ? 0 : 4));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: group survived, 2: run hung, 4: new run not refused";
}

TEST(ExecuteFailures, AFailedRunLeavesNoHelperWaitingOnAPipeHeldOutside) {
  // In a forked process that ignores SIGCHLD, the kernel reaps the child
  // itself, so waiting for it fails: the run fails with "execution_failed"
  // while an escaped descendant still holds the output pipes. The run's
  // readers must not keep their descriptors for as long as it lives.
  expect_output(run_blocking(shell("true")));
  test::TempDir dir;
  const std::string pid_file = dir / "escapee";
  pid_t pid = ::fork();
  if (pid == 0) {
    // Every worker of this process's fresh runtime opens its descriptors.
    for (std::size_t i = 0; i < runtime::worker_count(); ++i) run_blocking(shell("true"));
    const int fds_before = test::open_fd_count();
    ::signal(SIGCHLD, SIG_IGN);
    auto outcome = run_blocking(
        shell("setsid sh -c 'echo $$ > " + pid_file + "; exec sleep 100' & sleep 0.3", 30000));
    const int escapee = test::read_number_within(pid_file);
    auto* error = std::get_if<SandboxError>(&outcome);
    const bool failed = error && error->code() == "execution_failed";
    // The stopped readers close their pipes, while the escapee lives.
    const bool no_leak = test::fd_count_within(fds_before);
    if (escapee > 0) ::kill(escapee, SIGKILL);
    ::_exit((failed ? 0 : 1) | (no_leak ? 0 : 2));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the run did not fail as expected, 2: descriptors leaked";
}

// Runs under the sandbox launcher: its own set-up failures must come back as
// the spawn failure a direct start of the program would give, never as the
// program's exit status.
class ContainedRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!platform::isolation_available()) GTEST_SKIP() << "no launcher or no Landlock here";
  }
};

TEST_F(ContainedRun, ProgramRunsAndItsStatusPassesThrough) {
  auto request = shell("printf contained; exit 5");
  request.policy.network = NetworkPolicy::Disabled;
  auto output = expect_output(run_blocking(request));
  EXPECT_EQ(output.stdout_bytes, "contained");
  EXPECT_EQ(output.stderr_bytes, "");
  EXPECT_EQ(exited(output), (ProcessExit{5, std::nullopt}));
}

TEST_F(ContainedRun, LauncherRefusalsAreSpawnFailures) {
  test::TempDir dir;
  ExecutionRequest not_executable;
  not_executable.executable = dir.make_file("script", "#!/bin/sh\n", 0644);
  not_executable.policy.network = NetworkPolicy::Disabled;
  auto error = expect_error(run_blocking(not_executable));
  EXPECT_EQ(error.code(), "spawn_failed");
  EXPECT_EQ(error.source()->os_error(), EACCES);
  ASSERT_NE(error.executable(), nullptr);

  // An executable outside every grant cannot be started by the launcher.
  ExecutionRequest outside;
  outside.executable = dir.make_file("tool", "#!/bin/sh\necho ran\n", 0755);
  outside.policy.filesystem = FilesystemPolicy{};
  error = expect_error(run_blocking(outside));
  EXPECT_EQ(error.code(), "spawn_failed");
  EXPECT_EQ(error.source()->os_error(), EACCES);
}

TEST_F(ContainedRun, StreamsReportLauncherRefusalsWhenTheyStart) {
  test::TempDir dir;
  ExecutionRequest outside;
  outside.executable = dir.make_file("tool", "#!/bin/sh\necho ran\n", 0755);
  outside.policy.filesystem = FilesystemPolicy{};
  auto outcome = test::start_stream_blocking(outside);
  ASSERT_TRUE(std::holds_alternative<SandboxError>(outcome));
  const auto& error = std::get<SandboxError>(outcome);
  EXPECT_EQ(error.code(), "spawn_failed");
  EXPECT_EQ(error.source()->os_error(), EACCES);
  ASSERT_NE(error.executable(), nullptr);
}
