// Where the sandbox launcher of this host lives, and whether it can be used.
#pragma once

#include <expected>
#include <optional>

#include "../command.h"
#include "../io_error.h"

namespace quellar::platform {

// The launcher's path, or an unsupported-kind error naming what is missing.
// macOS: /usr/bin/sandbox-exec. Linux: quellar-sandbox, installed next to
// the binary that contains this library (the Python extension, or a test
// program), and usable only where the kernel offers Landlock.
std::expected<Path, IoError> sandbox_launcher();

// Whether this host can run a command under filesystem and network
// isolation: the host's launcher is present and usable (on Linux: next to
// this library, with Landlock in the kernel). Probed once, on first call,
// without starting anything; the test override does not affect it.
bool isolation_available();

// Whether every process of a contained run dies when the supervising
// process does, even by SIGKILL: on Linux, the launcher can put the run in a
// PID namespace of its own (directly, or inside a user namespace), which
// this checks once by creating one for a moment. Without that the launcher
// falls back to a subreaper, whose program dies with the supervisor but
// whose detached descendants may not.
bool contained_runs_die_with_supervisor();

// Tests point the lookup at another file (or at nothing, with an empty
// path); std::nullopt restores the normal lookup.
void set_sandbox_launcher_for_testing(std::optional<Path> path);

}  // namespace quellar::platform
