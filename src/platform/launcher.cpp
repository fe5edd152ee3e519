// The test override shared by every platform; the host lookup itself lives in
// launcher_linux.cpp / launcher_macos.cpp.
#include "launcher.h"

#include <sys/stat.h>

#include <mutex>

#include "launcher_host.h"

namespace quellar::platform {
namespace {

std::mutex& override_lock() {
  static std::mutex lock;
  return lock;
}
std::optional<Path>& launcher_override() {
  static std::optional<Path> path;
  return path;
}

}  // namespace

bool is_regular_file(const Path& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::expected<Path, IoError> sandbox_launcher() {
  std::optional<Path> candidate;
  {
    std::lock_guard guard(override_lock());
    candidate = launcher_override();
  }
  if (!candidate) return host_sandbox_launcher();
  if (!is_regular_file(*candidate)) return std::unexpected(missing_launcher_error());
  return *candidate;
}

bool isolation_available() {
  static const bool available = host_sandbox_launcher().has_value();
  return available;
}

void set_sandbox_launcher_for_testing(std::optional<Path> path) {
  std::lock_guard guard(override_lock());
  launcher_override() = std::move(path);
}

}  // namespace quellar::platform
