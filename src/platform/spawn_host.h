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

// Adds a change of working directory to the child's start. Returns 0 or an errno.
int add_chdir(posix_spawn_file_actions_t* actions, const char* path);

}  // namespace quellar::platform
