// How quellar-sandbox reports a failure to set up the sandbox to the process
// that spawned it, so that a failure is never mistaken for the program's own
// exit status.
//
//   quellar-sandbox [--status-fd N] [--argv0 NAME] -p PROFILE program [args...]
//
// With --status-fd, descriptor N is the write end of a close-on-exec pipe.
// When parsing, isolation, enforcement or execve fails, the launcher writes
// one status record to it and exits. When the program starts, the pipe closes
// with nothing written: end of file means the program is running.
// Without --status-fd (run by hand) it prints one line beginning
// "quellar-sandbox: " on standard error and exits with an Exit code.
//
// --argv0 gives the name the program is called by (argv[0]), when it is not
// the path executed: the caller resolved a symbolic link, but programs such as
// CPython (its virtual environment) or multi-call binaries choose what they
// are from the name they were called by.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string_view>

namespace quellar::launcher {

enum class Stage : std::int32_t {
  Usage = 1,    // bad command line
  Profile = 2,  // the profile text was refused
  Enforce = 3,  // no_new_privs, capabilities, Landlock or seccomp failed
  Exec = 4,     // execve failed; error is its errno (ENOENT, EACCES, ...)
  Grant = 5,    // a filesystem grant could not be opened as it was named
  Start = 6,    // the processes that hold the program could not be started
};

// Lower case, as Python shows it.
constexpr std::string_view stage_name(Stage stage) {
  switch (stage) {
    case Stage::Usage:
      return "usage";
    case Stage::Profile:
      return "profile";
    case Stage::Enforce:
      return "enforce";
    case Stage::Exec:
      return "exec";
    case Stage::Grant:
      return "grant";
    case Stage::Start:
      return "start";
  }
  return "unknown";
}

// A record is this header, then path_size bytes of the path at fault (may be
// empty), then detail_size bytes of text for a human (may be empty).
struct StatusHeader {
  std::int32_t stage;  // a Stage
  std::int32_t error;  // errno, 0 when there is none (a refused profile)
  std::uint32_t path_size;
  std::uint32_t detail_size;
};
static_assert(sizeof(StatusHeader) == 16);

// A whole record fits in one pipe write of at most PIPE_BUF bytes, which the
// kernel delivers whole; longer paths and details are cut to fit.
inline constexpr std::size_t kMaxStatusSize = 4096;

// Exit codes when run by hand (sysexits.h and the shell's conventions).
enum Exit : int {
  kExitUsage = 64,
  kExitProfile = 65,
  kExitEnforce = 71,
  kExitNotExecutable = 126,
  kExitNotFound = 127,
};

inline constexpr const char* kStatusFdOption = "--status-fd";
inline constexpr const char* kArgv0Option = "--argv0";

}  // namespace quellar::launcher
