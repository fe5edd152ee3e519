// Linux specifics of starting and watching a child.
#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "process.h"
#include "spawn_host.h"

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace quellar::platform {

const bool kLauncherHasStatusPipe = true;

std::expected<std::array<UniqueFd, 2>, IoError> make_cloexec_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(IoError::from_errno(errno));
  return std::array<UniqueFd, 2>{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

int close_other_descriptors(posix_spawn_file_actions_t* actions, short*, int first) {
  // glibc 2.34 and later; it runs in the child after the dup2 actions.
  return ::posix_spawn_file_actions_addclosefrom_np(actions, first);
}

int add_chdir(posix_spawn_file_actions_t* actions, const char* path) {
  return ::posix_spawn_file_actions_addchdir_np(actions, path);
}

UniqueFd open_exit_watch(pid_t pid) {
  // A pidfd becomes readable when the process exits; it is always
  // close-on-exec. Kernels before 5.3 lack it and get polled instead.
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

}  // namespace quellar::platform
