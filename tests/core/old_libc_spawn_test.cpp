// Runs with a working directory on a C library whose posix_spawn cannot
// change it (glibc 2.28, the oldest the binary wheel supports): this program
// replaces the chdir action with glibc 2.28's answer, so every such run
// takes the start by fork. The child must be the same as posix_spawn's.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>

#include <cerrno>
#include <cstdio>

#include "async_support.h"
#include "platform/launcher.h"
#include "support.h"

extern "C" int posix_spawn_file_actions_addchdir_np(posix_spawn_file_actions_t*, const char*) {
  return ENOSYS;
}

using namespace quellar;
using test::expect_error;
using test::expect_output;
using test::run_blocking;
using test::shell;

TEST(OldLibcSpawn, TheChildIsTheOnePosixSpawnWouldStart) {
  test::TempDir dir;
  int leaked = ::open("/dev/null", O_RDONLY);  // deliberately inheritable
  ASSERT_GT(leaked, 2);
  auto old = ::signal(SIGPIPE, SIG_IGN);  // as Python leaves it
  auto request = shell(
      // The listing writes straight to stdout: in a pipeline the shell
      // itself would hold a pipe's end while `ls` looks.
      "pwd; echo \"$0\"; ls -m /proc/$$/fd; "
      "ps -o pid=,pgid= -p $$; grep -E '^Sig(Blk|Ign)' /proc/self/status; cat");
  request.cwd = dir.path();
  request.environment.variables = {{"PATH", "/usr/bin:/bin"}};
  auto output = expect_output(run_blocking(request, "input\n"));
  ::signal(SIGPIPE, old);
  ::close(leaked);

  char cwd[256] = {}, arg0[256] = {}, fds[256] = {};
  int pid = 0, pgid = 0;
  unsigned long long blocked = 1, ignored = 1;
  char input[16] = {};
  ASSERT_EQ(std::sscanf(output.stdout_bytes.str().c_str(),
                        "%255s\n%255s\n%255[^\n]\n%d %d\nSigBlk:\t%llx\nSigIgn:\t%llx\n%15s", cwd,
                        arg0, fds, &pid, &pgid, &blocked, &ignored, input),
            8)
      << output.stdout_bytes;
  EXPECT_EQ(cwd, dir.path());
  EXPECT_STREQ(arg0, "/bin/sh") << "argv[0] is the name the caller gave";
  EXPECT_STREQ(fds, "0, 1, 2") << "the child inherited descriptors";
  EXPECT_EQ(pid, pgid);
  EXPECT_NE(pgid, ::getpgrp());
  EXPECT_EQ(blocked, 0u);
  EXPECT_EQ(ignored, 0u);
  EXPECT_STREQ(input, "input");
  EXPECT_EQ(output.stderr_bytes, "");
  EXPECT_TRUE(output.success);
}

TEST(OldLibcSpawn, FailuresNameThePathAtFault) {
  test::TempDir dir;
  auto missing = shell("true");
  missing.cwd = dir / "missing";
  auto error = expect_error(run_blocking(missing));
  EXPECT_EQ(error.code(), "spawn_failed");
  EXPECT_EQ(error.source()->os_error(), ENOENT);
  EXPECT_EQ(error.source()->path(), dir / "missing");

  ExecutionRequest not_executable;
  not_executable.executable = dir.make_file("script", "#!/bin/sh\n", 0644);
  not_executable.cwd = dir.path();
  error = expect_error(run_blocking(not_executable));
  EXPECT_EQ(error.source()->os_error(), EACCES);
  EXPECT_EQ(error.source()->path(), dir / "script");
  EXPECT_TRUE(test::no_children_within(std::chrono::seconds(5))) << "a failed start left a child";
}

TEST(OldLibcSpawn, ContainedRunsStartTheLauncherTheSameWay) {
  if (!platform::isolation_available()) GTEST_SKIP() << "no launcher or no Landlock here";
  test::TempDir dir;
  auto request = shell("pwd; echo made > file; cat file");
  request.cwd = dir.path();
  request.policy.network = NetworkPolicy::Disabled;
  request.policy.filesystem =
      FilesystemPolicy{{{dir.path(), {FilesystemAccess::Read, FilesystemAccess::Write}}}};
  auto output = expect_output(run_blocking(request));
  EXPECT_EQ(output.stdout_bytes, dir.path() + "\nmade\n");
  EXPECT_EQ(output.stderr_bytes, "");

  // The launcher's own report still arrives: a grant through a link.
  dir.make_dir("real");
  const std::string link = dir.make_symlink("link", dir / "real");
  auto through_link = request;
  through_link.policy.filesystem->grants.push_back({link, {FilesystemAccess::Read}});
  auto error = expect_error(run_blocking(through_link));
  EXPECT_EQ(error.code(), "spawn_failed");
  ASSERT_TRUE(error.source().has_value());
  EXPECT_EQ(error.source()->os_error(), ELOOP);
  EXPECT_EQ(error.source()->stage(), "grant");
}

// Kernels before 5.9 (RHEL 8's 4.18, which comes with glibc 2.28) have no
// close_range. From here on this process and its children see it fail with
// ENOSYS, so this test comes last.
TEST(OldLibcSpawn, WithoutCloseRangeTheChildStillHoldsOnlyItsStreams) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 436 /* close_range */, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  ASSERT_EQ(::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
  ASSERT_EQ(::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &program), 0);
  ASSERT_EQ(::syscall(436, 1000, 1001, 0), -1);
  ASSERT_EQ(errno, ENOSYS);

  test::TempDir dir;
  int leaked = ::open("/dev/null", O_RDONLY);  // deliberately inheritable
  auto request = shell("ls /proc/$$/fd");
  request.cwd = dir.path();
  auto output = expect_output(run_blocking(request));
  ::close(leaked);
  EXPECT_EQ(output.stdout_bytes, "0\n1\n2\n") << "the child inherited descriptors";
}
