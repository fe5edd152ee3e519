// quellar-sandbox: runs one program under a sandbox profile.
//
//   quellar-sandbox [--status-fd N] [--argv0 NAME] -p PROFILE program [args...]
//
// The Linux stand-in for macOS's sandbox-exec. It reads the profile that
// quellar generated, contains the program with it, and stays its parent to
// the end (reaper.h): the program is hostile, and nothing it starts may
// outlive it or reach outside. In this order:
//
//   1. parse the profile, so that a refused one changes nothing;
//   2. ask to die with the supervisor, and block signals for the relay;
//   3. new namespaces: PID (nothing outlives the run), mount (a /proc of the
//      run's own), IPC (no SysV objects of the host), network when it is
//      disabled (no abstract socket names of the host);
//   4. fork the init (pid 1 of the namespace, or a subreaper without one),
//      which mounts the run's /proc and forks the program's process, which
//      then
//   5. takes a session of its own (no controlling terminal, no way into a
//      process group of the caller's session);
//   6. sets no_new_privs, which unprivileged Landlock and seccomp require
//      and which keeps setuid programs from lifting the restrictions;
//   7. drops every capability;
//   8. restricts itself with Landlock: files, TCP, signals, abstract sockets;
//   9. with seccomp, last, so that its rules do not constrain the set-up;
//  10. executes the program.
//
// Any failure stops before the program runs (see launcher_protocol.h).
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>

#include "capabilities.h"
#include "command_line.h"
#include "exec.h"
#include "isolation.h"
#include "landlock.h"
#include "platform/fd.h"
#include "profile.h"
#include "reaper.h"
#include "seccomp_policy.h"
#include "status.h"

using namespace quellar;
using namespace quellar::sandbox;

namespace {

struct Launch {
  Invocation invocation;
  SandboxProfile profile;
  int abi = 0;
  bool namespaced = false;  // PID, mount, IPC (and network) namespaces of the run's own
};

Result<void> enforce(Launch& launch, bool own_proc) {
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return enforce_error("PR_SET_NO_NEW_PRIVS", errno);
  if (auto dropped = drop_all_capabilities(); !dropped) return dropped;
  // The run's own /proc shows only its own processes: what programs read
  // about themselves (maps, exe, fd, status) and nothing of anyone else.
  if (own_proc) launch.profile.rules.push_back(PathRule{"/proc", true, kAccessRead, true});
  if (auto restricted = apply_landlock(launch.profile, launch.abi); !restricted) return restricted;
  return install_seccomp({launch.profile.network, launch.namespaced});
}

// The program's own process, from the fork to the execve.
[[noreturn]] void become_program(Launch& launch, bool own_proc, const StatusReporter& reporter) {
  // pid = process group = session: no controlling terminal (/dev/tty gives
  // ENXIO), and no process group of the caller's session to join.
  if (::setsid() < 0) reporter.fail(start_failure("setsid", errno));
  if (auto enforced = enforce(launch, own_proc); !enforced) reporter.fail(enforced.error());
  unblock_signals();
  const Invocation& invocation = launch.invocation;
  int error = exec_program(invocation.program, invocation.program_argv);
  reporter.fail(Failure{launcher::Stage::Exec, error, std::string("cannot execute ") + invocation.program,
                        invocation.program});
}

// Standard streams and the status pipe belong to the program: a process that
// stays behind as its reaper must not hold them, or the supervisor would
// never see them end, nor its input writer a reader that has gone.
void let_go_of_streams(const StatusReporter& reporter) {
  for (int fd = 0; fd <= 2; ++fd) ::close(fd);  // not retried: see retry_on_eintr
  if (reporter.fd()) ::close(*reporter.fd());
}

// Asks for `signal` when the parent dies; a parent already gone ends this
// process quietly (nobody is left to read a report).
void watch_parent(int parent_end, const StatusReporter& reporter, int signal = SIGKILL) {
  switch (die_with_parent(parent_end, signal)) {
    case ParentWatch::Armed:
      return;
    case ParentWatch::Failed:
      reporter.fail(start_failure("PR_SET_PDEATHSIG", errno));
    case ParentWatch::ParentGone:
      ::_exit(launcher::kExitEnforce);
  }
}

[[noreturn]] void run_contained(Launch& launch, const StatusReporter& reporter) {
  int relay[2];
  if (::pipe2(relay, O_CLOEXEC) != 0) reporter.fail(start_failure("pipe2", errno));
  const pid_t init = ::fork();
  if (init < 0) reporter.fail(start_failure("fork", errno));
  if (init == 0) {
    ::close(relay[0]);
    const pid_t launcher = ::getppid();
    // Our parent, the launcher, holds the other end of the relay. Pid 1 of
    // a namespace dies with it, and the kernel kills the rest; a subreaper
    // is told (SIGTERM), so that it kills what is left itself.
    if (!launch.namespaced &&
        ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) {
      reporter.fail(start_failure("PR_SET_CHILD_SUBREAPER", errno));
    }
    watch_parent(relay[1], reporter, launch.namespaced ? SIGKILL : SIGTERM);
    if (::setsid() < 0) reporter.fail(start_failure("setsid", errno));
    const bool own_proc = launch.namespaced && mount_own_proc();
    const pid_t program = ::fork();
    if (program < 0) reporter.fail(start_failure("fork", errno));
    if (program == 0) {
      // Without a namespace the program dies with the init, should the
      // init be killed.
      if (!launch.namespaced) watch_parent(-1, reporter);
      become_program(launch, own_proc, reporter);
    }
    let_go_of_streams(reporter);
    serve_as_init(program, relay[1], launcher, launch.namespaced);
  }
  ::close(relay[1]);
  let_go_of_streams(reporter);
  supervise_init(init, relay[0]);
}

[[noreturn]] void run(int argc, char** argv, int first, const StatusReporter& reporter) {
  auto invocation = parse_invocation(argc, argv, first);
  if (!invocation) reporter.fail(invocation.error());

  auto profile = parse_profile(invocation->profile);
  if (!profile) reporter.fail(profile.error());

  // Checked before anything changes: without Landlock the profile's path
  // rules cannot be applied, and running the program anyway would pass an
  // unconfined run for a confined one.
  auto abi = landlock_abi();
  if (!abi) reporter.fail(Failure{launcher::Stage::Enforce, abi.error(), "Landlock is not available"});

  // A supervisor that dies, even by SIGKILL, takes its contained runs with
  // it. The status pipe's other end is the supervisor's alone.
  watch_parent(reporter.fd().value_or(-1), reporter);
  block_signals();

  auto namespaced = isolate(!profile->network);
  if (!namespaced) reporter.fail(namespaced.error());

  Launch launch{*invocation, std::move(*profile), *abi, *namespaced};
  run_contained(launch, reporter);
}

}  // namespace

int main(int argc, char** argv) {
  int rest = 1;
  auto status_fd = parse_status_fd(argc, argv, rest);
  if (!status_fd) StatusReporter(std::nullopt).fail(status_fd.error());
  const StatusReporter reporter(*status_fd);
  // The only exception the launcher can meet is an allocation failure. Left
  // to terminate, it would end the process with SIGABRT and an empty status
  // pipe, which the parent would take for the program's own death.
  try {
    run(argc, argv, rest, reporter);
  } catch (...) {
    reporter.fail(Failure{launcher::Stage::Enforce, ENOMEM, "cannot prepare the sandbox"});
  }
}
