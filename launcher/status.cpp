#include "status.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace quellar::sandbox {
namespace {

// One write: a record of at most kMaxStatusSize bytes (PIPE_BUF) reaches the
// reader whole, so only EINTR is retried.
void write_all(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nobody to tell: exiting is all that is left
    bytes += n;
    size -= static_cast<size_t>(n);
  }
}

std::string record(const Failure& failure) {
  constexpr size_t kRoom = launcher::kMaxStatusSize - sizeof(launcher::StatusHeader);
  const std::string path = failure.path.substr(0, kRoom);
  const std::string detail = failure.message.substr(0, kRoom - path.size());
  launcher::StatusHeader header{static_cast<std::int32_t>(failure.stage), failure.error,
                                static_cast<std::uint32_t>(path.size()),
                                static_cast<std::uint32_t>(detail.size())};
  std::string out(reinterpret_cast<const char*>(&header), sizeof header);
  out += path;
  out += detail;
  return out;
}

}  // namespace

int exit_code_for(const Failure& failure) {
  switch (failure.stage) {
    case launcher::Stage::Usage:
      return launcher::kExitUsage;
    case launcher::Stage::Profile:
      return launcher::kExitProfile;
    case launcher::Stage::Enforce:
    case launcher::Stage::Grant:
    case launcher::Stage::Start:
      return launcher::kExitEnforce;
    case launcher::Stage::Exec:
      return failure.error == ENOENT || failure.error == ENOTDIR ? launcher::kExitNotFound
                                                                  : launcher::kExitNotExecutable;
  }
  return launcher::kExitEnforce;
}

void StatusReporter::fail(const Failure& failure) const {
  if (status_fd_) {
    // The parent turns the record into its own error; standard error belongs
    // to the program's captured output and stays untouched.
    const std::string out = record(failure);
    write_all(*status_fd_, out.data(), out.size());
  } else {
    std::string line = "quellar-sandbox: " + failure.message;
    if (failure.error != 0) line += std::string(": ") + std::strerror(failure.error);
    line += '\n';
    write_all(STDERR_FILENO, line.data(), line.size());
  }
  ::_exit(exit_code_for(failure));
}

}  // namespace quellar::sandbox
