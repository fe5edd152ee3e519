// How quellar-sandbox meets its parent: the program runs under the
// launcher, which keeps the pid, group and exit status the parent knows; the
// status pipe says whether it started, and a failure is never mistaken for
// the program's own exit status.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "filesystem.h"
#include "launcher_harness.h"
#include "platform/launcher.h"
#include "support.h"

using namespace quellar;
using namespace quellar::test;
using launcher::Stage;

namespace {

class LauncherProtocol : public ::testing::Test {
 protected:
  void SetUp() override {
    if (landlock_abi() == 0) GTEST_SKIP() << "this kernel has no Landlock";
    work_ = dir_.make_dir("work");
    auto built = build_profile(ProfileTarget::Linux,
                               {{{bin_dir(), {FilesystemAccess::Read}}, {work_, {FilesystemAccess::Write}}}},
                               true);
    ASSERT_TRUE(built);
    profile_ = *built;
  }

  ChildResult run(const std::vector<std::string>& argv, ChildOptions options = {}) {
    return run_sandboxed(profile_, argv, options);
  }

  // A file the program would create if it ran at all.
  std::vector<std::string> create_marker() { return {probe_path(), "create", work_ + "/marker"}; }
  bool marker_exists() { return ::access((work_ + "/marker").c_str(), F_OK) == 0; }

  TempDir dir_;
  std::string work_;
  std::string profile_;
};

void expect_status(const ChildResult& result, Stage stage, int error, int exit_code) {
  ASSERT_TRUE(result.status.has_value()) << "no status record; exit " << result.exit_code << ", stderr "
                                         << result.err;
  EXPECT_EQ(result.status->stage, static_cast<std::int32_t>(stage));
  EXPECT_EQ(result.status->error, error) << std::strerror(result.status->error);
  EXPECT_LE(result.status_bytes, launcher::kMaxStatusSize);
  EXPECT_EQ(result.exit_code, exit_code);
  // Standard error is the program's, even when the launcher fails.
  EXPECT_EQ(result.err, "");
}

void expect_line(const ChildResult& result, int exit_code, std::string_view contains) {
  EXPECT_EQ(result.exit_code, exit_code) << result.err;
  EXPECT_TRUE(result.err.starts_with("quellar-sandbox: ")) << result.err;
  EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "not exactly one line: " << result.err;
  EXPECT_NE(result.err.find(contains), std::string::npos) << result.err;
  EXPECT_EQ(result.status_bytes, 0u);
}

}  // namespace

TEST_F(LauncherProtocol, TheProgramLeadsItsOwnSessionUnderTheLauncher) {
  Child child(launcher_argv(profile_, {probe_path(), "identity"}, true), {}, true);
  EXPECT_FALSE(child.read_status().has_value());
  ChildResult result = child.finish();
  EXPECT_EQ(result.status_bytes, 0u);
  Probe probe = probe_result(result);
  ASSERT_TRUE(probe.ok);
  // The program leads its own process group and session: no controlling
  // terminal, and no group of the caller's session within reach.
  pid_t pid = 0, group = 0, session = 0;
  ASSERT_EQ(std::sscanf(probe.detail.c_str(), "%d %d %d", &pid, &group, &session), 3) << probe.detail;
  EXPECT_NE(pid, 0);
  EXPECT_EQ(group, pid);
  EXPECT_EQ(session, pid);
}

TEST_F(LauncherProtocol, AGrantThatDoesNotExistGrantsNothingAndStopsNothing) {
  std::string later = work_ + "/later";
  auto built = build_profile(ProfileTarget::Linux,
                             {{{bin_dir(), {FilesystemAccess::Read}},
                               {dir_ / "absent", {FilesystemAccess::Write}},
                               {later, {FilesystemAccess::Write}},
                               {work_, {FilesystemAccess::Read}}}},
                             true);
  ASSERT_TRUE(built);
  // Created by the program itself: it did not exist when the rules were
  // made, so the write grant on it never applied.
  ChildResult result = run_sandboxed(*built, {probe_path(), "mkdir", later});
  EXPECT_EQ(probe_result(result).error, EACCES);
  ASSERT_EQ(::mkdir(later.c_str(), 0755), 0);
  EXPECT_TRUE(probe_result(run_sandboxed(*built, {probe_path(), "create", later + "/file"})).ok);
}

TEST_F(LauncherProtocol, ExitStatusAndSignalAreTheProgramsOwn) {
  ChildResult exited = run({"/bin/sh", "-c", "echo out; echo err >&2; exit 42"});
  EXPECT_EQ(exited.exit_code, 42);
  EXPECT_EQ(exited.out, "out\n");
  EXPECT_EQ(exited.err, "err\n");
  EXPECT_EQ(exited.status_bytes, 0u);
  // Exit codes the launcher uses for itself pass through unchanged too: the
  // status pipe, not the code, tells them apart.
  for (int code : {64, 65, 71, 126, 127}) {
    ChildResult same = run({"/bin/sh", "-c", "exit " + std::to_string(code)});
    EXPECT_EQ(same.exit_code, code);
    EXPECT_FALSE(same.status.has_value());
  }
  ChildResult killed = run({"/bin/sh", "-c", "kill -TERM $$"});
  EXPECT_EQ(killed.signal, SIGTERM);
}

TEST_F(LauncherProtocol, StatusPipeEndsWhileTheProgramRunsAndIsNotInherited) {
  ChildOptions options;
  options.keep_stdin_open = true;
  Child child(launcher_argv(profile_, {probe_path(), "wait-stdin"}, true), options, true);
  // End of file on the status pipe with the program still waiting for
  // its input: the pipe closed at execve, not at exit.
  EXPECT_FALSE(child.read_status().has_value());
  int status = 0;
  EXPECT_EQ(::waitpid(child.pid(), &status, WNOHANG), 0) << "the program is not running";
  child.close_stdin();
  ChildResult result = child.finish();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.status_bytes, 0u);

  // Nor does the program inherit descriptor 3.
  Probe fd3 = probe_result(run({probe_path(), "fd-open", "3"}));
  EXPECT_EQ(fd3.error, EBADF) << describe(fd3);
}

TEST_F(LauncherProtocol, ExecFailuresReportTheSameErrorsAsAnUnwrappedSpawn) {
  expect_status(run({"/nonexistent/program"}), Stage::Exec, ENOENT, launcher::kExitNotFound);
  expect_status(run({"quellar-no-such-program"}), Stage::Exec, ENOENT, launcher::kExitNotFound);
  expect_status(run({"/etc/passwd/x"}), Stage::Exec, ENOTDIR, launcher::kExitNotFound);

  std::string plain = dir_.make_file("work/plain", "#!/bin/sh\necho ran\n", 0644);
  expect_status(run({plain}), Stage::Exec, EACCES, launcher::kExitNotExecutable);
  expect_status(run({work_}), Stage::Exec, EACCES, launcher::kExitNotExecutable);

  // An executable the profile does not grant: the kernel allows it, the
  // sandbox does not, and the parent hears EACCES.
  std::string outside = dir_.make_file("script", "#!/bin/sh\necho ran\n", 0755);
  EXPECT_EQ(run_direct({outside}).out, "ran\n");
  expect_status(run({outside}), Stage::Exec, EACCES, launcher::kExitNotExecutable);
}

TEST_F(LauncherProtocol, RefusedProfileRunsNothing) {
  expect_status(run_sandboxed(profile_ + "(allow file-ioctl (subpath \"/\"))\n", create_marker()),
                Stage::Profile, 0, launcher::kExitProfile);
  expect_status(run_sandboxed("(version 1)\n(allow default)\n", create_marker()), Stage::Profile, 0,
                launcher::kExitProfile);
  EXPECT_FALSE(marker_exists());
  // The control: the same command with the good profile does run.
  EXPECT_TRUE(probe_result(run(create_marker())).ok);
  EXPECT_TRUE(marker_exists());
}

TEST_F(LauncherProtocol, NoLandlockMeansNothingRuns) {
  ChildOptions options;
  options.without_landlock = true;
  expect_status(run(create_marker(), options), Stage::Enforce, ENOSYS, launcher::kExitEnforce);
  options.status_fd = false;
  expect_line(run(create_marker(), options), launcher::kExitEnforce, "Landlock");
  EXPECT_FALSE(marker_exists());
}

TEST_F(LauncherProtocol, UsageErrorsGoThroughTheStatusPipeOnceItIsKnown) {
  Child no_program({launcher_path(), launcher::kStatusFdOption, "3", "-p", profile_}, {}, true);
  expect_status(no_program.finish(), Stage::Usage, 0, launcher::kExitUsage);
  Child no_profile({launcher_path(), launcher::kStatusFdOption, "3", "/bin/true"}, {}, true);
  expect_status(no_profile.finish(), Stage::Usage, 0, launcher::kExitUsage);
}

TEST_F(LauncherProtocol, RunByHandItPrintsOneLineAndExitsWithItsCode) {
  ChildOptions by_hand;
  by_hand.status_fd = false;
  auto launch = [&](std::vector<std::string> args) {
    args.insert(args.begin(), launcher_path());
    return run_direct(args, by_hand);
  };
  expect_line(launch({}), launcher::kExitUsage, "usage");
  expect_line(launch({"-p", profile_}), launcher::kExitUsage, "usage");
  expect_line(launch({"-x", profile_, "/bin/true"}), launcher::kExitUsage, "usage");
  // A status descriptor must be a number above the standard streams, and open.
  for (std::string bad : {"", "x", "3x", "-1", "1", "2", "999"}) {
    expect_line(launch({launcher::kStatusFdOption, bad, "-p", profile_, "/bin/true"}), launcher::kExitUsage,
                "status-fd");
  }
  expect_line(launch({"-p", "(version 1)", "/bin/true"}), launcher::kExitProfile, "profile refused");
  expect_line(launch({"-p", profile_, "/nonexistent"}), launcher::kExitNotFound, "/nonexistent");
  expect_line(launch({"-p", profile_, "/etc/passwd"}), launcher::kExitNotExecutable, "Permission denied");
  // And success prints nothing of its own.
  ChildResult ok = launch({"-p", profile_, "/bin/echo", "hi"});
  EXPECT_EQ(ok.exit_code, 0);
  EXPECT_EQ(ok.out, "hi\n");
  EXPECT_EQ(ok.err, "");
}

TEST_F(LauncherProtocol, TheSupervisorStillStopsTheWholeGroup) {
  // Two grandchildren hold standard output open: end of file after the group
  // kill means every one of them is gone.
  Child child(launcher_argv(profile_, {"/bin/sh", "-c", "sleep 1000 & sleep 1000 & echo started; wait"}, true),
              {}, true);
  ASSERT_FALSE(child.read_status().has_value());
  ASSERT_EQ(child.read_stdout_line(), "started");
  ASSERT_EQ(::kill(-child.pid(), SIGKILL), 0);
  ChildResult result = child.finish();
  EXPECT_EQ(result.signal, SIGKILL);
}

TEST(LauncherLookup, FoundNextToTheProgramAndUsable) {
  if (landlock_abi() == 0) GTEST_SKIP() << "this kernel has no Landlock";
  auto launcher = platform::sandbox_launcher();
  ASSERT_TRUE(launcher) << launcher.error().message();
  EXPECT_EQ(*launcher, launcher_path());
  EXPECT_TRUE(platform::isolation_available());
}

TEST(LauncherLookup, WithoutLandlockTheLookupSaysSo) {
  // Only a child can lose Landlock; it reports what the lookup said.
  TempDir dir;
  std::string report = dir / "report";
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    static const sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_landlock_create_ruleset, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog{static_cast<unsigned short>(std::size(filter)), const_cast<sock_filter*>(filter)};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) {
      ::_exit(2);
    }
    auto launcher = platform::sandbox_launcher();
    std::ofstream(report) << (launcher ? std::string("found") : launcher.error().message());
    ::_exit(launcher || launcher.error().kind() != IoErrorKind::Unsupported ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  std::ifstream in(report);
  std::string message((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << message;
  EXPECT_EQ(message,
            "Linux filesystem isolation requires Landlock, which this kernel does not offer (Linux 5.13 or "
            "later)");
}
