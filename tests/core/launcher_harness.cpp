#include "launcher_harness.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace quellar::test {
namespace {

// A filter that makes landlock_create_ruleset fail with ENOSYS, as on a
// kernel built without Landlock. Built once, before any fork: the child
// only hands it to the kernel.
const sock_filter kNoLandlockFilter[] = {
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_landlock_create_ruleset, 0, 1),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
};

// The same for namespaces: unshare refused, as in a container that forbids
// them, so that the launcher falls back to a subreaper.
const sock_filter kNoNamespacesFilter[] = {
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_unshare, 0, 1),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
};

// Where the spawn path puts the launcher's status pipe.
constexpr int kStatusFd = 3;

struct Pipe {
  int read = -1, write = -1;
};

Pipe make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  return {fds[0], fds[1]};
}

// close is not retried on EINTR: Linux has released the descriptor already.
void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Only async-signal-safe calls between fork and exec.
void move_fd(int from, int to) {
  if (from == to) {
    ::fcntl(to, F_SETFD, 0);
  } else {
    ::dup2(from, to);
  }
}

[[noreturn]] void child_fail(const char* what) {
  ::write(2, what, std::strlen(what));
  ::_exit(125);
}

std::string dirname_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

}  // namespace

std::optional<Identity> nobody() {
  if (::geteuid() != 0) return std::nullopt;
  passwd* pw = ::getpwnam("nobody");
  if (!pw) return std::nullopt;
  return Identity{pw->pw_uid, pw->pw_gid};
}

bool others_can_reach(const std::string& path) {
  std::string prefix;
  size_t pos = 0;
  while (pos != std::string::npos) {
    size_t next = path.find('/', pos + 1);
    prefix = path.substr(0, next);
    struct stat st {};
    if (::stat(prefix.empty() ? "/" : prefix.c_str(), &st) != 0 || !(st.st_mode & S_IXOTH)) {
      return false;
    }
    pos = next;
  }
  return true;
}

void give_tree(const std::string& path, Identity owner) {
  ASSERT_EQ(::lchown(path.c_str(), owner.uid, owner.gid), 0) << path;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
    ASSERT_EQ(::lchown(entry.path().c_str(), owner.uid, owner.gid), 0) << entry.path();
  }
}

std::string bin_dir() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return dirname_of(std::string(buf, static_cast<size_t>(n)));
}

std::string launcher_path() { return bin_dir() + "/quellar-sandbox"; }
std::string probe_path() { return bin_dir() + "/sandbox_probe"; }

int landlock_abi() {
  long abi = ::syscall(__NR_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  return abi > 0 ? static_cast<int>(abi) : 0;
}

Child::Child(const std::vector<std::string>& argv, const ChildOptions& options, bool with_status_pipe) {
  for (int fd : options.keep_fds) {
    if (fd < 10) throw std::runtime_error("pass descriptors numbered 10 or more");
  }
  // Everything the child needs exists before fork.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const std::string& e : options.env) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  const char* cwd = options.cwd ? options.cwd->c_str() : nullptr;
  sock_fprog no_landlock{static_cast<unsigned short>(std::size(kNoLandlockFilter)),
                         const_cast<sock_filter*>(kNoLandlockFilter)};
  sock_fprog no_namespaces{static_cast<unsigned short>(std::size(kNoNamespacesFilter)),
                           const_cast<sock_filter*>(kNoNamespacesFilter)};

  Pipe in = make_pipe(), out = make_pipe(), err = make_pipe();
  Pipe status = with_status_pipe ? make_pipe() : Pipe{};
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    move_fd(in.read, 0);
    move_fd(out.write, 1);
    move_fd(err.write, 2);
    if (with_status_pipe) move_fd(status.write, kStatusFd);
    for (int fd : options.keep_fds) ::fcntl(fd, F_SETFD, 0);
    // A group of its own, as the supervisor starts every child.
    if (::setpgid(0, 0) != 0) child_fail("setpgid failed\n");
    if (options.without_landlock &&
        (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &no_landlock) != 0)) {
      child_fail("cannot hide Landlock\n");
    }
    if (options.without_namespaces &&
        (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &no_namespaces) != 0)) {
      child_fail("cannot refuse namespaces\n");
    }
    if (options.as) {
      // Raw system calls: glibc's wrappers synchronise threads this child
      // does not have.
      if (::syscall(SYS_setgroups, 0, nullptr) != 0 ||
          ::syscall(SYS_setresgid, options.as->gid, options.as->gid, options.as->gid) != 0 ||
          ::syscall(SYS_setresuid, options.as->uid, options.as->uid, options.as->uid) != 0) {
        child_fail("cannot switch user\n");
      }
    }
    if (cwd && ::chdir(cwd) != 0) child_fail("chdir failed\n");
    ::execve(args[0], args.data(), env.data());
    child_fail("execve failed\n");
  }
  pid_ = pid;
  ::close(in.read);
  ::close(out.write);
  ::close(err.write);
  if (with_status_pipe) ::close(status.write);
  in_ = in.write;
  out_ = out.read;
  err_ = err.read;
  status_ = status.read;
  if (!options.input.empty()) {
    // Small inputs only: they fit in the pipe without a reader.
    EXPECT_EQ(::write(in_, options.input.data(), options.input.size()),
              static_cast<ssize_t>(options.input.size()));
  }
  if (!options.keep_stdin_open) close_stdin();
}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  close_fd(in_);
  close_fd(out_);
  close_fd(err_);
  close_fd(status_);
}

void Child::close_stdin() { close_fd(in_); }

std::optional<StatusRecord> Child::read_status() {
  if (status_ < 0) return result_.status;
  std::string bytes;
  for (;;) {
    char buf[512];
    ssize_t n = ::read(status_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  close_fd(status_);
  result_.status_bytes = bytes.size();
  launcher::StatusHeader header{};
  if (bytes.size() < sizeof header) return result_.status;
  std::memcpy(&header, bytes.data(), sizeof header);
  if (sizeof header + header.path_size + header.detail_size != bytes.size()) return result_.status;
  result_.status = StatusRecord{header.stage, header.error, bytes.substr(sizeof header, header.path_size),
                                bytes.substr(sizeof header + header.path_size)};
  return result_.status;
}

std::string Child::read_stdout_line() {
  for (;;) {
    size_t newline = pending_out_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_out_.substr(0, newline);
      pending_out_.erase(0, newline + 1);
      return line;
    }
    char buf[256];
    ssize_t n = ::read(out_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::exchange(pending_out_, {});
    pending_out_.append(buf, static_cast<size_t>(n));
  }
}

ChildResult Child::finish() {
  read_status();
  close_stdin();
  result_.out = std::exchange(pending_out_, {});
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  bool killed = false;
  while (out_ >= 0 || err_ >= 0) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    int ready = ::poll(fds, 2, killed ? -1 : static_cast<int>(std::max<long>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      ADD_FAILURE() << "the child's output did not end within a minute; killing its group";
      ::kill(-pid_, SIGKILL);
      killed = true;
      continue;
    }
    int* owners[2] = {&out_, &err_};
    std::string* sinks[2] = {&result_.out, &result_.err};
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close_fd(*owners[i]);
      }
    }
  }
  int wait_status = 0;
  while (::waitpid(pid_, &wait_status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (WIFEXITED(wait_status)) result_.exit_code = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) result_.signal = WTERMSIG(wait_status);
  return result_;
}

std::vector<std::string> launcher_argv(const std::string& profile, const std::vector<std::string>& argv,
                                       bool status_fd) {
  std::vector<std::string> full{launcher_path()};
  if (status_fd) full.insert(full.end(), {launcher::kStatusFdOption, std::to_string(kStatusFd)});
  full.insert(full.end(), {"-p", profile});
  full.insert(full.end(), argv.begin(), argv.end());
  return full;
}

ChildResult run_sandboxed(const std::string& profile, const std::vector<std::string>& argv,
                          const ChildOptions& options) {
  return Child(launcher_argv(profile, argv, options.status_fd), options, options.status_fd).finish();
}

ChildResult run_direct(const std::vector<std::string>& argv, const ChildOptions& options) {
  return Child(argv, options, false).finish();
}

Probe probe_result(const ChildResult& result) {
  Probe probe;
  if (result.signal != 0) {
    probe.signal = result.signal;
    return probe;
  }
  if (result.status) {
    ADD_FAILURE() << "the launcher refused to run the probe: stage " << result.status->stage
                  << ", errno " << result.status->error << "; stderr: " << result.err;
    probe.error = -1;
    return probe;
  }
  std::string_view out = result.out;
  size_t newline = out.find('\n');
  std::string_view first = out.substr(0, newline);
  if (newline != std::string_view::npos) probe.detail = std::string(out.substr(newline + 1));
  if (first == "ok" && result.exit_code == 0) {
    probe.ok = true;
  } else if (first.starts_with("errno ") && result.exit_code == 1) {
    probe.error = std::atoi(std::string(first.substr(6)).c_str());
  } else {
    ADD_FAILURE() << "unexpected probe output (exit " << result.exit_code << "): " << result.out
                  << result.err;
    probe.error = -1;
  }
  return probe;
}

std::string describe(const Probe& probe) {
  if (probe.signal) return "killed by signal " + std::to_string(probe.signal);
  if (probe.ok) return "ok";
  return std::string("errno ") + std::to_string(probe.error) + " (" + std::strerror(probe.error) + ")";
}

std::string sandbox_test_unavailable(User user, std::initializer_list<std::string> programs,
                                     std::optional<Identity>& as) {
  if (landlock_abi() == 0) return "this kernel has no Landlock";
  if (user != User::Nobody) return {};
  as = nobody();
  if (!as) return "switching to nobody needs root";
  for (const std::string& program : programs) {
    if (!others_can_reach(program)) return "nobody cannot reach " + bin_dir();
  }
  return {};
}

}  // namespace quellar::test
