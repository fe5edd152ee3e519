// How quellar-sandbox reports a failure to set up the sandbox to the process
// that spawned it, so that a failure is never mistaken for the program's own
// exit status.
//
//   quellar-sandbox [--status-fd N] -p PROFILE program [args...]
//
// With --status-fd, descriptor N is the write end of a close-on-exec pipe.
// When parsing, enforcement or execve fails, the launcher writes one
// LauncherStatus record to it and exits. When execve succeeds the pipe closes
// with nothing written: end of file means the program is running.
// Without --status-fd (run by hand) it prints one line beginning
// "quellar-sandbox: " on standard error and exits with a LauncherExit code.
#pragma once

#include <cstdint>

namespace quellar::launcher {

enum class Stage : std::int32_t {
  Usage = 1,     // bad command line
  Profile = 2,   // the profile text was refused
  Enforce = 3,   // no_new_privs, capabilities, Landlock or seccomp failed
  Exec = 4,      // execve failed; error is its errno (ENOENT, EACCES, ...)
};

struct Status {
  std::int32_t stage;  // a Stage
  std::int32_t error;  // errno, 0 when there is none (a refused profile)
};
static_assert(sizeof(Status) == 8);

// Exit codes when run by hand (sysexits.h and the shell's conventions).
enum Exit : int {
  kExitUsage = 64,
  kExitProfile = 65,
  kExitEnforce = 71,
  kExitNotExecutable = 126,
  kExitNotFound = 127,
};

inline constexpr const char* kStatusFdOption = "--status-fd";

}  // namespace quellar::launcher
