#include "command_line.h"

#include <fcntl.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace quellar::sandbox {
namespace {

constexpr std::string_view kUsage =
    "usage: quellar-sandbox [--status-fd N] [--argv0 NAME] -p PROFILE program [args...]";

}  // namespace

Result<std::optional<int>> parse_status_fd(int argc, char** argv, int& rest) {
  rest = 1;
  if (argc < 2 || std::string_view(argv[1]) != launcher::kStatusFdOption) return std::nullopt;
  if (argc < 3) return usage_error(std::string(kUsage));
  std::string_view text = argv[2];
  int fd = -1;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), fd);
  // 0 to 2 are the program's standard streams: writing a status record into
  // one of them would corrupt its output, so they are never accepted.
  if (ec != std::errc() || end != text.data() + text.size() || fd < 3) {
    return usage_error("--status-fd needs a descriptor number of 3 or more");
  }
  // The parent hands the descriptor over with dup2, which clears
  // close-on-exec. Setting it again is what makes a successful execve close
  // the pipe, the parent's sign that the program is running.
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
    return usage_error("--status-fd " + std::string(text) + ": " + std::strerror(errno));
  }
  rest = 3;
  return fd;
}

Result<Invocation> parse_invocation(int argc, char** argv, int first) {
  const char* argv0 = nullptr;
  if (argc - first >= 2 && std::string_view(argv[first]) == launcher::kArgv0Option) {
    argv0 = argv[first + 1];
    first += 2;
  }
  if (argc - first < 3 || std::string_view(argv[first]) != "-p") {
    return usage_error(std::string(kUsage));
  }
  Invocation invocation{argv[first + 1], argv[first + 2], argv + first + 2};
  // The program's own argv begins in our argv, so its first slot can simply
  // be pointed at the name it is to be called by.
  if (argv0 != nullptr) invocation.program_argv[0] = const_cast<char*>(argv0);
  return invocation;
}

}  // namespace quellar::sandbox
