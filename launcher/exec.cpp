#include "exec.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace quellar::sandbox {

int exec_program(const char* program, char** argv) {
  // execve, not execvp, for a path: execvp retries a file without a valid
  // header as a shell script, and the parent expects the same errors as
  // from spawning the program without the sandbox.
  if (std::strchr(program, '/') != nullptr) {
    ::execve(program, argv, environ);
    return errno;
  }
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  int error = ENOENT;
  for (;;) {
    size_t colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    std::string candidate(dir.empty() ? "." : dir);
    candidate += '/';
    candidate += program;
    ::execve(candidate.c_str(), argv, environ);
    // A program found but not executable is worth reporting over a later
    // "not found"; other errors stop the search, as in execvp.
    if (errno == EACCES) {
      error = EACCES;
    } else if (errno != ENOENT && errno != ENOTDIR) {
      return errno;
    }
    if (colon == std::string_view::npos) return error;
    dirs.remove_prefix(colon + 1);
  }
}

}  // namespace quellar::sandbox
