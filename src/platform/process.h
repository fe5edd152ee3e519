// Starting and reaping child processes: the only place that calls
// posix_spawn, waitpid and the exit-watch primitives of the host.
#pragma once

#include <sys/types.h>

#include <expected>
#include <optional>
#include <string_view>

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
  // Under the Linux sandbox launcher: the read end of its status pipe. It
  // reaches end of file empty once the program runs, or after a report of
  // why the launcher could not start it (decode_launcher_status).
  UniqueFd launcher_status;
};

// Starts `command` as the leader of a new process group (group id = pid),
// with an environment of exactly command.environment, the working directory
// command.cwd, all three standard streams piped, every other descriptor of
// this process closed, and default signal dispositions and an empty signal
// mask. A command run under the Linux sandbox launcher reports its set-up
// failures later, on launcher_status: starting the sandbox takes the launcher
// a moment, and nobody should be blocked for it.
//
// Call it from a thread that lives as long as the process: the Linux
// launcher asks for SIGKILL when its parent dies (so that a supervisor killed
// outright takes its contained runs along), and the kernel counts the end of
// the spawning *thread* as its parent's death.
std::expected<SpawnedProcess, IoError> spawn_process(const Command& command);

// What the launcher's status pipe held at end of file: nothing (the program
// runs), or a report, turned into the error a direct start of the program
// would have given (or one naming the sandbox step that failed).
std::expected<void, IoError> decode_launcher_status(std::string_view report);

// Non-blocking: the launcher's report once its status pipe has reached end
// of file, or nothing while it is still setting up. Does not reap.
std::optional<std::expected<void, IoError>> poll_launcher(int fd);

// Non-blocking: the exit of a child that has ended (reaping it), or nothing
// while it runs.
std::expected<std::optional<ProcessExit>, IoError> try_reap(pid_t pid);

ProcessExit exit_from_wait_status(int status);

// The host's exit-watch descriptor for a child, or an invalid one.
UniqueFd open_exit_watch(pid_t pid);

}  // namespace quellar::platform
