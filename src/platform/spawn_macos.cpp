// macOS specifics of starting and watching a child.
#include <fcntl.h>
#include <spawn.h>
#include <sys/event.h>
#include <unistd.h>

#include <mutex>

#include "process.h"
#include "spawn_host.h"

namespace quellar::platform {

const bool kLauncherHasStatusPipe = false;

std::expected<std::array<UniqueFd, 2>, IoError> make_cloexec_pipe() {
  // macOS has no pipe2. The descriptors are inheritable for a moment; every
  // child we spawn closes them anyway (POSIX_SPAWN_CLOEXEC_DEFAULT).
  int fds[2];
  if (::pipe(fds) != 0) return std::unexpected(IoError::from_errno(errno));
  std::array<UniqueFd, 2> ends{UniqueFd(fds[0]), UniqueFd(fds[1])};
  for (const UniqueFd& fd : ends) {
    if (::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0) {
      return std::unexpected(IoError::from_errno(errno));
    }
  }
  return ends;
}

int close_other_descriptors(posix_spawn_file_actions_t*, short* flags, int) {
  // Only the descriptors named by dup2 actions survive into the child.
  *flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
  return 0;
}

int add_chdir(posix_spawn_file_actions_t* actions, const char* path) {
  return ::posix_spawn_file_actions_addchdir_np(actions, path);
}

// macOS has had the chdir action since 10.15, older than anything we build for.
int start_by_fork(const ChildStart&, pid_t*) { return ENOSYS; }

UniqueFd open_exit_watch(pid_t pid) {
  // A kqueue holding one EVFILT_PROC/NOTE_EXIT event is readable once the
  // process has exited.
  UniqueFd queue(::kqueue());
  if (!queue) return queue;
  ::fcntl(queue.get(), F_SETFD, FD_CLOEXEC);
  struct kevent change;
  EV_SET(&change, pid, EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
  if (::kevent(queue.get(), &change, 1, nullptr, 0, nullptr) != 0) return UniqueFd();
  return queue;
}

}  // namespace quellar::platform
