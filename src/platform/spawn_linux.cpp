// Linux specifics of starting and watching a child.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "process.h"
#include "spawn_host.h"

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_close_range
#define SYS_close_range 436
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

namespace {

// This process's open descriptors from `first` up, for a child whose kernel
// has no close_range (before 5.9). One that another thread opens later
// without close-on-exec would escape; Python opens its own non-inheritable.
std::vector<int> open_descriptors_from(int first) {
  std::vector<int> fds;
  DIR* directory = ::opendir("/proc/self/fd");
  if (directory == nullptr) return fds;
  const int own = ::dirfd(directory);
  while (const dirent* entry = ::readdir(directory)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0' && fd >= first && fd != own) {
      fds.push_back(static_cast<int>(fd));
    }
  }
  ::closedir(directory);
  return fds;
}

// The child reports why its start failed, and ends.
[[noreturn]] void report_and_exit(int report_fd, int error) {
  (void)!::write(report_fd, &error, sizeof error);
  ::_exit(127);
}

// The child's side of start_by_fork. It runs in a copy of this process that
// holds only the calling thread, so it makes system calls and nothing else:
// no allocation, no lock, no atexit handler.
[[noreturn]] void become_child(const ChildStart& start, int report_fd,
                               const std::vector<int>& leftovers) {
  auto fail = [report_fd](int error) { report_and_exit(report_fd, error); };
  // Every disposition back to its default while every signal is blocked (no
  // handler of the host runs here). glibc refuses its own two (32 and 33),
  // whose handlers exec resets anyway; an ignored signal would outlive exec.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &default_action, nullptr);
  if (::setpgid(0, 0) != 0) fail(errno);
  for (int target = 0; target < static_cast<int>(start.streams.size()); ++target) {
    const int source = start.streams[target];
    if (source < 0) continue;
    // dup2 onto itself would keep close-on-exec.
    const int rc = source == target ? ::fcntl(source, F_SETFD, 0) : ::dup2(source, target);
    if (rc < 0) fail(errno);
  }
  // Everything from first_closed up but the report pipe (close-on-exec).
  const unsigned first = static_cast<unsigned>(start.first_closed);
  const unsigned report = static_cast<unsigned>(report_fd);
  long closed = report > first ? ::syscall(SYS_close_range, first, report - 1, 0) : 0;
  if (closed == 0) closed = ::syscall(SYS_close_range, report + 1, ~0u, 0);
  if (closed != 0) {
    for (int fd : leftovers) {
      if (fd != report_fd) ::close(fd);
    }
  }
  if (start.cwd != nullptr && ::chdir(start.cwd) != 0) fail(errno);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(start.program, start.argv, start.envp);
  report_and_exit(report_fd, errno);
}

}  // namespace

int start_by_fork(const ChildStart& start, pid_t* pid) {
  auto report = make_cloexec_pipe();
  if (!report) return report.error().os_error() != 0 ? report.error().os_error() : EIO;
  // Above every descriptor the child's dup2 targets, so that none clobbers it.
  UniqueFd report_write = std::move((*report)[1]);
  if (report_write.get() <= kStatusFdInChild) {
    UniqueFd moved(::fcntl(report_write.get(), F_DUPFD_CLOEXEC, kStatusFdInChild + 1));
    if (!moved) return errno;
    report_write = std::move(moved);
  }
  const std::vector<int> leftovers = open_descriptors_from(start.first_closed);

  // A raw clone, not fork(): fork handlers (the host's, ours) must not run
  // for a child that only execs. Signals stay blocked until the child has
  // reset their handlers.
  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  const long child = ::syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0);
  const int clone_error = errno;
  if (child == 0) become_child(start, report_write.get(), leftovers);
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (child < 0) return clone_error;
  report_write.reset();

  // End of file: exec succeeded (the pipe closed on exec). A number: the
  // errno of the step that failed, after which the child exits at once.
  int error = 0;
  const ssize_t n = retry_on_eintr([&] { return ::read((*report)[0].get(), &error, sizeof error); });
  if (n == static_cast<ssize_t>(sizeof error)) {
    int status = 0;
    retry_on_eintr([&] { return ::waitpid(static_cast<pid_t>(child), &status, 0); });
    return error;
  }
  *pid = static_cast<pid_t>(child);
  return 0;
}

UniqueFd open_exit_watch(pid_t pid) {
  // A pidfd becomes readable when the process exits; it is always
  // close-on-exec. Kernels before 5.3 lack it and get polled instead.
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

}  // namespace quellar::platform
