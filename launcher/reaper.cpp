#include "reaper.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/fd.h"

namespace quellar::sandbox {
namespace {

using platform::retry_on_eintr;

sigset_t all_signals() {
  sigset_t set;
  sigfillset(&set);
  return set;
}

// The next signal sent to this process (every one is blocked).
int next_signal() {
  const sigset_t set = all_signals();
  for (;;) {
    siginfo_t info{};
    int sig = ::sigwaitinfo(&set, &info);
    if (sig > 0) return sig;
    // EINTR: a SIGSTOP/SIGCONT pair, which cannot be blocked.
  }
}

// Ends this process the way the program ended: the same exit code, or the
// same signal (without a core dump of the launcher itself).
[[noreturn]] void end_as(int status) {
  if (WIFEXITED(status)) ::_exit(WEXITSTATUS(status));
  const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : SIGKILL;
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  ::signal(sig, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  ::sigprocmask(SIG_UNBLOCK, &one, nullptr);
  ::kill(::getpid(), sig);
  ::_exit(128 + sig);  // a signal whose default is not to end the process
}

// A signal meant for the program: to its process group, or to the program
// alone while it has not made its group yet (the group is made first thing
// after the fork, so this only happens in that first moment).
void forward(pid_t program, int sig) {
  if (::kill(-program, sig) != 0 && errno == ESRCH) ::kill(program, sig);
}

// This process's children, as the kernel lists them; nothing when /proc is
// not there to say.
std::optional<std::vector<pid_t>> children() {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/children", static_cast<int>(::getpid()));
  FILE* file = std::fopen(path, "re");
  if (file == nullptr) return std::nullopt;
  std::vector<pid_t> found;
  int pid = 0;
  while (std::fscanf(file, "%d", &pid) == 1) found.push_back(pid);
  std::fclose(file);
  return found;
}

// Kills every descendant: as a subreaper, this process inherits the
// children of each one it kills, until none is left.
void kill_descendants(pid_t program) {
  ::kill(-program, SIGKILL);
  for (;;) {
    auto pids = children();
    if (!pids) {
      // Without /proc only the program's group could be reached; collect
      // what has ended and leave the rest.
      while (retry_on_eintr([] { return ::waitpid(-1, nullptr, WNOHANG); }) > 0) {
      }
      return;
    }
    for (pid_t pid : *pids) ::kill(pid, SIGKILL);
    // Blocks until one of those just killed is gone (their children are
    // then ours, for the next round), or returns ECHILD: none left.
    if (retry_on_eintr([] { return ::waitpid(-1, nullptr, 0); }) < 0) return;
  }
}

}  // namespace

void block_signals() {
  const sigset_t set = all_signals();
  ::sigprocmask(SIG_SETMASK, &set, nullptr);
}

void unblock_signals() {
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

ParentWatch die_with_parent(int parent_end, int signal) {
  if (::prctl(PR_SET_PDEATHSIG, signal, 0, 0, 0) != 0) return ParentWatch::Failed;
  if (parent_end < 0) return ParentWatch::Armed;
  // The parent may have died before the request: then the pipe end it held
  // is closed, and ours reports an error.
  pollfd check{parent_end, 0, 0};
  return retry_on_eintr([&] { return ::poll(&check, 1, 0); }) == 0 ? ParentWatch::Armed
                                                                    : ParentWatch::ParentGone;
}

void supervise_init(pid_t init, int relay) {
  for (;;) {
    const int sig = next_signal();
    if (sig != SIGCHLD) {
      ::kill(init, sig);
      continue;
    }
    int status = 0;
    if (retry_on_eintr([&] { return ::waitpid(init, &status, WNOHANG); }) != init) continue;
    int program_status = 0;
    if (retry_on_eintr([&] { return ::read(relay, &program_status, sizeof program_status); }) ==
        static_cast<ssize_t>(sizeof program_status)) {
      end_as(program_status);
    }
    // The init ended without a word: it reported a failure of its own on
    // the status pipe, or it was killed (by the kernel, when memory ran
    // out), and the program with it.
    end_as(status);
  }
}

namespace {

// Relays every signal to the program's group and reaps every child (the
// program's orphans come to this process too) until the program has ended;
// returns its wait status. Nothing when the launcher, this process's parent,
// has died first: the signal that woke us was our parent-death signal.
std::optional<int> relay_until_program_ends(pid_t program, pid_t launcher) {
  for (;;) {
    const int sig = next_signal();
    if (::getppid() != launcher) return std::nullopt;
    if (sig != SIGCHLD) {
      forward(program, sig);
      continue;
    }
    int status = 0;
    pid_t reaped;
    while ((reaped = retry_on_eintr([&] { return ::waitpid(-1, &status, WNOHANG); })) > 0) {
      if (reaped == program) return status;
    }
  }
}

}  // namespace

void serve_as_init(pid_t program, int relay, pid_t launcher, bool namespaced) {
  const std::optional<int> status = relay_until_program_ends(program, launcher);
  // As pid 1 of the namespace, exiting is enough: the kernel kills what is
  // left in it. A subreaper kills what is left itself.
  if (!namespaced) kill_descendants(program);
  if (status) retry_on_eintr([&] { return ::write(relay, &*status, sizeof *status); });
  ::_exit(0);
}

}  // namespace quellar::sandbox
