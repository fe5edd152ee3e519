// Internal seam between the shared launcher lookup and each host's own.
#pragma once

#include <expected>
#include <optional>

#include "../command.h"
#include "../io_error.h"

namespace quellar::platform {

std::expected<Path, IoError> host_sandbox_launcher();
IoError missing_launcher_error();
bool is_regular_file(const Path& path);  // following links
// Why the launcher at `path` cannot be trusted to contain anything: someone
// other than root or this process's user could rewrite it or put another
// file in its place. Nothing when it can.
std::optional<IoError> untrusted_launcher(const Path& path);

}  // namespace quellar::platform
