// The launcher's command line:
//
//   quellar-sandbox [--status-fd N] [--argv0 NAME] -p PROFILE program [args...]
//
// The same shape as /usr/bin/sandbox-exec, plus our status descriptor, which
// must come first so that every later mistake can be reported through it,
// and the name the program is called by, when it is not the program's path.
#pragma once

#include <optional>
#include <string_view>

#include "failure.h"

namespace quellar::sandbox {

struct Invocation {
  std::string_view profile;
  const char* program;  // the file to execute (looked up in PATH without a slash)
  char** program_argv;  // NULL-terminated; program_argv[0] is what the program sees
};

// Only the --status-fd part. Kept separate so that the reporter exists before
// the rest of the line is judged. `rest` is left pointing after the option.
Result<std::optional<int>> parse_status_fd(int argc, char** argv, int& rest);

// The part after --status-fd.
Result<Invocation> parse_invocation(int argc, char** argv, int first);

}  // namespace quellar::sandbox
