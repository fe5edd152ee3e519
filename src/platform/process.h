// Starting and reaping child processes: the only place that calls
// posix_spawn, waitpid and the exit-watch primitives of the host.
#pragma once

#include <sys/types.h>

#include <expected>
#include <optional>

#include "../command.h"
#include "../io_error.h"
#include "../policy.h"
#include "fd.h"

namespace quellar::platform {

struct SpawnedProcess {
  pid_t pid = -1;
  UniqueFd stdin_fd;   // write end of the child's standard input
  UniqueFd stdout_fd;  // read end of its standard output
  UniqueFd stderr_fd;  // read end of its standard error
  // Readable once the process has exited (a pidfd on Linux, a kqueue on
  // macOS); invalid where the host offers neither, and exit is then polled.
  UniqueFd exit_watch;
};

// Starts `command` as the leader of a new process group (group id = pid),
// with an environment of exactly command.environment, the working directory
// command.cwd, all three standard streams piped, every other descriptor of
// this process closed, and default signal dispositions and an empty signal
// mask. A command run under the Linux sandbox launcher reports its set-up
// failures here, as if the program itself could not be started.
std::expected<SpawnedProcess, IoError> spawn_process(const Command& command);

// Non-blocking: the exit of a child that has ended (reaping it), or nothing
// while it runs.
std::expected<std::optional<ProcessExit>, IoError> try_reap(pid_t pid);

// Blocks until the child has ended and reaps it. For children that are known
// to exit at once (a launcher that reported a failure).
std::expected<ProcessExit, IoError> reap_blocking(pid_t pid);

ProcessExit exit_from_wait_status(int status);

// The host's exit-watch descriptor for a child, or an invalid one.
UniqueFd open_exit_watch(pid_t pid);

}  // namespace quellar::platform
