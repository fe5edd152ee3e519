// The first step of every run and stream: check the request's paths and
// input size, and resolve the executable to the file that will really run.
// Reads the file system, changes nothing.
#pragma once

#include <expected>
#include <string_view>

#include "../error.h"
#include "../policy.h"

namespace quellar {

std::expected<ExecutableIdentity, SandboxError> validate_request(const ExecutionRequest& request,
                                                                 std::string_view input);

// The canonical form of `path` (absolute, every link resolved, no . or ..);
// the path must exist.
std::expected<Path, IoError> canonical_path(const Path& path);

// Whether `inner` lies inside `outer`, comparing whole components: /data/x is
// inside /data, /database is not. Both must be canonical.
bool path_within(std::string_view inner, std::string_view outer);

}  // namespace quellar
