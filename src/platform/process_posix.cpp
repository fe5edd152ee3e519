// Process start and reaping on POSIX hosts. Everything the child needs is
// prepared here, in the parent, as plain owned data; posix_spawn then starts
// it with no code of ours running between fork and exec.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "../text.h"
#include "launcher_protocol.h"
#include "process.h"
#include "spawn_host.h"

namespace quellar::platform {
namespace {

// NULL-terminated arrays of C strings that stay valid while this lives.
class CStringArray {
 public:
  // False when the text holds a NUL byte and cannot become a C string.
  bool add(std::string text) {
    if (contains_nul(text)) return false;
    storage_.push_back(std::move(text));
    return true;
  }
  char* const* get() {
    pointers_.clear();
    for (std::string& s : storage_) pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
    return pointers_.data();
  }

 private:
  std::vector<std::string> storage_;
  std::vector<char*> pointers_;
};

IoError nul_byte_error() { return IoError::invalid_input(std::string(kNulByteMessage)); }

// posix_spawn's error, with the one path at fault, as subprocess reports it:
// the working directory when it is the one that cannot be entered, else the
// program for the errors of finding and executing a file. (An argument list
// too long, or no memory, is nobody's path.)
IoError spawn_error(int error, const Command& command) {
  IoError failure = IoError::from_errno(error);
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case EACCES:
    case ELOOP:
    case ENAMETOOLONG:
    case ENOEXEC:
    case ETXTBSY:
    case EISDIR:
      break;
    default:
      return failure;
  }
  struct stat st {};
  if (command.cwd && (::stat(command.cwd->c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
                      ::access(command.cwd->c_str(), X_OK) != 0)) {
    return std::move(failure).with_path(*command.cwd);
  }
  // Under the launcher, the program's own errors come later, from it.
  if (command.sandboxed || !command.program_arg0) return std::move(failure).with_path(command.program);
  return std::move(failure).with_path(*command.program_arg0);
}

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

// A descriptor numbered 0, 1 or 2 (the host may have closed its own standard
// streams) would be clobbered by the child's own dup2 onto 0..2, and dup2 of
// a descriptor onto itself keeps close-on-exec; keep ours above them.
std::expected<UniqueFd, IoError> above_standard_streams(UniqueFd fd) {
  if (fd.get() > 2) return fd;
  int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return std::unexpected(IoError::from_errno(errno));
  return UniqueFd(moved);
}

std::expected<Pipe, IoError> make_pipe() {
  auto fds = make_cloexec_pipe();
  if (!fds) return std::unexpected(fds.error());
  auto read = above_standard_streams(std::move((*fds)[0]));
  if (!read) return std::unexpected(read.error());
  auto write = above_standard_streams(std::move((*fds)[1]));
  if (!write) return std::unexpected(write.error());
  return Pipe{std::move(*read), std::move(*write)};
}

class SpawnAttributes {
 public:
  SpawnAttributes() { ::posix_spawnattr_init(&attr_); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attr_); }
  posix_spawnattr_t* get() { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

class FileActions {
 public:
  FileActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// posix_spawn with the file actions and attributes that make the child
// `start` describes. Returns 0 or an errno, as posix_spawn does.
int start_by_posix_spawn(const ChildStart& start, pid_t* pid) {
  FileActions actions;
  for (int target = 0; target < static_cast<int>(start.streams.size()); ++target) {
    if (start.streams[target] >= 0) {
      ::posix_spawn_file_actions_adddup2(actions.get(), start.streams[target], target);
    }
  }
  if (start.cwd != nullptr) {
    const int rc = add_chdir(actions.get(), start.cwd);
    // A C library without the chdir action (glibc before 2.29): the same
    // child, by a fork of our own.
    if (rc == ENOSYS) return start_by_fork(start, pid);
    if (rc != 0) return rc;
  }

  SpawnAttributes attr;
  short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  // Libraries in the host process leave descriptors inheritable; a contained
  // child must hold exactly its three standard streams.
  if (const int rc = close_other_descriptors(actions.get(), &flags, start.first_closed); rc != 0) {
    return rc;
  }
  ::posix_spawnattr_setflags(attr.get(), flags);
  ::posix_spawnattr_setpgroup(attr.get(), 0);
  // The spawning thread blocks every signal and hosts such as Python ignore
  // SIGPIPE; the child starts with neither. Every signal the kernel knows
  // goes back to its default, the C library's own two (32 and 33, which
  // sigfillset leaves out and posix_spawn would otherwise leave ignored)
  // included: the set is filled byte by byte for that reason.
  sigset_t none, defaults;
  sigemptyset(&none);
  std::memset(&defaults, 0xff, sizeof defaults);
  ::posix_spawnattr_setsigmask(attr.get(), &none);
  ::posix_spawnattr_setsigdefault(attr.get(), &defaults);
  return ::posix_spawn(pid, start.program, actions.get(), attr.get(), start.argv, start.envp);
}

}  // namespace

std::expected<void, IoError> decode_launcher_status(std::string_view report) {
  if (report.empty()) return {};
  launcher::StatusHeader header{};
  if (report.size() < sizeof header) {
    return std::unexpected(IoError::other("the sandbox launcher reported a malformed status"));
  }
  std::memcpy(&header, report.data(), sizeof header);
  if (sizeof header + std::size_t{header.path_size} + header.detail_size != report.size()) {
    return std::unexpected(IoError::other("the sandbox launcher reported a malformed status"));
  }
  const std::string path(report.substr(sizeof header, header.path_size));
  const std::string detail(report.substr(sizeof header + header.path_size));
  const auto stage = static_cast<launcher::Stage>(header.stage);
  auto with_detail = [&detail](std::string what) {
    return detail.empty() ? what : what + " (" + detail + ")";
  };
  IoError error = IoError::other("the sandbox launcher reported an unknown stage");
  switch (stage) {
    case launcher::Stage::Exec:
      // Reported exactly as a direct spawn of the same program would be.
      error = IoError::from_errno(header.error);
      break;
    case launcher::Stage::Grant:
      error = IoError::from_errno(header.error, detail);
      break;
    case launcher::Stage::Enforce:
      error = IoError::from_errno(header.error, with_detail("the sandbox launcher could not apply the sandbox"));
      break;
    case launcher::Stage::Start:
      error = IoError::from_errno(
          header.error, with_detail("the sandbox launcher could not start the program's processes"));
      break;
    case launcher::Stage::Profile:
      error = IoError::invalid_input(with_detail("the sandbox launcher refused the profile"));
      break;
    case launcher::Stage::Usage:
      error = IoError::invalid_input(with_detail("the sandbox launcher refused its command line"));
      break;
    default:
      return std::unexpected(std::move(error));
  }
  error = std::move(error).with_stage(std::string(launcher::stage_name(stage)));
  if (!path.empty()) error = std::move(error).with_path(path);
  return std::unexpected(std::move(error));
}

namespace {

// Reads the launcher's report: a whole record, or end of file with none.
// Nothing while neither has come and `blocking` is false. The launcher
// writes its record with one write of at most PIPE_BUF bytes, which a pipe
// delivers whole, so one read takes all of it.
std::optional<std::expected<void, IoError>> read_report(int fd, bool blocking) {
  char report[launcher::kMaxStatusSize];
  ssize_t n = retry_on_eintr([&] { return ::read(fd, report, sizeof report); });
  if (n < 0 && errno == EAGAIN && !blocking) return std::nullopt;
  if (n < 0) return std::unexpected(IoError::from_errno(errno, "reading the sandbox launcher status"));
  return decode_launcher_status(std::string_view(report, static_cast<std::size_t>(n)));
}

}  // namespace

std::optional<std::expected<void, IoError>> poll_launcher(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  return read_report(fd, false);
}

ProcessExit exit_from_wait_status(int status) {
  if (WIFEXITED(status)) return {WEXITSTATUS(status), std::nullopt};
  if (WIFSIGNALED(status)) return {std::nullopt, WTERMSIG(status)};
  return {};
}

std::expected<std::optional<ProcessExit>, IoError> try_reap(pid_t pid) {
  int status = 0;
  pid_t got = retry_on_eintr([&] { return ::waitpid(pid, &status, WNOHANG); });
  if (got < 0) return std::unexpected(IoError::from_errno(errno));
  if (got == 0) return std::optional<ProcessExit>();
  return std::optional<ProcessExit>(exit_from_wait_status(status));
}

std::expected<SpawnedProcess, IoError> spawn_process(const Command& command) {
  // The Linux launcher takes a status descriptor; sandbox-exec has none.
  const bool status_pipe = command.sandboxed && kLauncherHasStatusPipe;

  CStringArray argv;
  if (status_pipe || !command.program_arg0) {
    if (!argv.add(command.program)) return std::unexpected(nul_byte_error());
  } else if (!argv.add(*command.program_arg0)) {
    return std::unexpected(nul_byte_error());
  }
  if (status_pipe) {
    argv.add(launcher::kStatusFdOption);
    argv.add(std::to_string(kStatusFdInChild));
    // The launcher executes the resolved program under the name it was
    // asked for (sandbox-exec has no such option: there it is the path).
    if (command.program_arg0) {
      argv.add(launcher::kArgv0Option);
      if (!argv.add(*command.program_arg0)) return std::unexpected(nul_byte_error());
    }
  }
  for (const std::string& arg : command.args) {
    if (!argv.add(arg)) return std::unexpected(nul_byte_error());
  }
  CStringArray envp;
  for (const auto& [name, value] : command.environment) {
    if (contains_nul(name) || !envp.add(name + "=" + value)) return std::unexpected(nul_byte_error());
  }
  if (command.cwd && contains_nul(*command.cwd)) return std::unexpected(nul_byte_error());

  auto in = make_pipe();
  if (!in) return std::unexpected(in.error());
  auto out = make_pipe();
  if (!out) return std::unexpected(out.error());
  auto err = make_pipe();
  if (!err) return std::unexpected(err.error());
  std::optional<Pipe> status;
  if (status_pipe) {
    auto made = make_pipe();
    if (!made) return std::unexpected(made.error());
    status = std::move(*made);
  }

  const ChildStart start{command.program.c_str(),
                         argv.get(),
                         envp.get(),
                         {in->read.get(), out->write.get(), err->write.get(),
                          status ? status->write.get() : -1},
                         status ? kStatusFdInChild + 1 : 3,
                         command.cwd ? command.cwd->c_str() : nullptr};
  pid_t pid = -1;
  const int rc = start_by_posix_spawn(start, &pid);
  if (rc != 0) return std::unexpected(spawn_error(rc, command));

  // The child's ends now belong to the child.
  in->read.reset();
  out->write.reset();
  err->write.reset();

  SpawnedProcess process;
  if (status) {
    status->write.reset();
    process.launcher_status = std::move(status->read);
  }
  process.pid = pid;
  process.stdin_fd = std::move(in->write);
  process.stdout_fd = std::move(out->read);
  process.stderr_fd = std::move(err->read);
  process.exit_watch = open_exit_watch(pid);
  return process;
}

}  // namespace quellar::platform
