// Internal seam between the shared POSIX spawn code and each host's own.
#pragma once

#include <spawn.h>

#include <array>
#include <expected>

#include "../io_error.h"
#include "fd.h"

namespace quellar::platform {

// Whether the host's sandbox launcher reports set-up failures on a status
// descriptor (our Linux launcher does; /usr/bin/sandbox-exec does not).
extern const bool kLauncherHasStatusPipe;
// Where the launcher finds its status descriptor in the child.
inline constexpr int kStatusFdInChild = 3;

// A pipe whose both ends are close-on-exec.
std::expected<std::array<UniqueFd, 2>, IoError> make_cloexec_pipe();

// Makes the spawned child close every descriptor from `first` up, either by
// a file action or by a spawn flag added to `flags`. Returns 0 or an errno.
int close_other_descriptors(posix_spawn_file_actions_t* actions, short* flags, int first);

// Adds a change of working directory to the child's start. Returns 0 or an
// errno; ENOSYS where the C library's posix_spawn cannot do it.
int add_chdir(posix_spawn_file_actions_t* actions, const char* path);

// A child's start, prepared in the parent, for start_by_fork.
struct ChildStart {
  const char* program;
  char* const* argv;
  char* const* envp;
  // Descriptors that become the child's 0, 1, 2 and 3 (-1: none).
  std::array<int, 4> streams;
  int first_closed;  // every descriptor from here up is closed
  const char* cwd;   // or null
};

// Starts the child with a fork and exec of our own, for a C library whose
// posix_spawn cannot change the working directory (glibc before 2.29, which
// the binary wheel supports). The child is the one posix_spawn would start:
// leader of its own group, default signal dispositions, empty mask, only the
// given descriptors. Returns 0 and sets *pid, or returns an errno, as
// posix_spawn does; ENOSYS where the host has no such start.
int start_by_fork(const ChildStart& start, pid_t* pid);

}  // namespace quellar::platform
