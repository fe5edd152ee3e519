// Internal seam between the shared launcher lookup and each host's own.
#pragma once

#include <expected>

#include "../command.h"
#include "../io_error.h"

namespace quellar::platform {

std::expected<Path, IoError> host_sandbox_launcher();
IoError missing_launcher_error();
bool is_regular_file(const Path& path);  // following links

}  // namespace quellar::platform
