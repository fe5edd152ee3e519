// quellar-sandbox: runs one program under a sandbox profile.
//
//   quellar-sandbox [--status-fd N] -p PROFILE program [args...]
//
// The Linux stand-in for macOS's sandbox-exec. It reads the profile that
// quellar generated, applies it, and becomes the program. The order matters:
//
//   1. parse the profile, so that a refused one changes nothing;
//   2. no_new_privs, which unprivileged Landlock and seccomp require and
//      which keeps setuid programs from lifting the restrictions;
//   3. drop every capability when running as root;
//   4. Landlock, for files, TCP, signals and abstract sockets;
//   5. seccomp, last, so that its rules do not constrain the set-up;
//   6. execve in place.
//
// Any failure stops before the program runs (see launcher_protocol.h).
#include <sys/prctl.h>

#include <cerrno>

#include "capabilities.h"
#include "command_line.h"
#include "exec.h"
#include "landlock.h"
#include "profile.h"
#include "seccomp_policy.h"
#include "status.h"

using namespace quellar;
using namespace quellar::sandbox;

namespace {

Result<void> enforce(const SandboxProfile& profile) {
  // Checked before anything changes: without Landlock the profile's path
  // rules cannot be applied, and running the program anyway would pass an
  // unconfined run for a confined one.
  auto abi = landlock_abi();
  if (!abi) return enforce_error("Landlock is not available", abi.error());
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return enforce_error("PR_SET_NO_NEW_PRIVS", errno);
  if (auto dropped = drop_all_capabilities(); !dropped) return dropped;
  if (auto restricted = apply_landlock(profile, *abi); !restricted) return restricted;
  return install_seccomp(profile.network);
}

[[noreturn]] void run(int argc, char** argv, int first, const StatusReporter& reporter) {
  auto invocation = parse_invocation(argc, argv, first);
  if (!invocation) reporter.fail(invocation.error());

  auto profile = parse_profile(invocation->profile);
  if (!profile) reporter.fail(profile.error());

  if (auto enforced = enforce(*profile); !enforced) reporter.fail(enforced.error());

  int error = exec_program(invocation->program_argv);
  reporter.fail(Failure{launcher::Stage::Exec, error,
                        std::string("cannot execute ") + invocation->program_argv[0]});
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
