#include "launcher.h"
#include "launcher_host.h"

namespace quellar::platform {

IoError missing_launcher_error() {
  return IoError::unsupported("macOS filesystem isolation requires /usr/bin/sandbox-exec");
}

bool contained_runs_die_with_supervisor() { return false; }

std::expected<Path, IoError> host_sandbox_launcher() {
  Path launcher = "/usr/bin/sandbox-exec";
  if (!is_regular_file(launcher)) return std::unexpected(missing_launcher_error());
  return launcher;
}

}  // namespace quellar::platform
