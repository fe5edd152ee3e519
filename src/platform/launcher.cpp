// The test override shared by every platform; the host lookup itself lives in
// launcher_linux.cpp / launcher_macos.cpp.
#include "launcher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <mutex>

#include "../text.h"
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

std::optional<IoError> untrusted_launcher(const Path& path) {
  // Owned by root or by us, and writable by nobody else. The same for its
  // directory, where whoever may write could rename another file into its
  // place, unless the directory is sticky (only a file's owner may then
  // replace it).
  auto refuse = [&](const Path& what, const char* why) {
    return IoError::unsupported("the sandbox launcher " + display_path(path) + " cannot be trusted: " +
                                display_path(what) + " " + why)
        .with_path(what);
  };
  const uid_t self = ::geteuid();
  const Path directory = path.substr(0, std::max<std::size_t>(path.rfind('/'), 1));
  for (const Path* what : {&path, &directory}) {
    struct stat st {};
    if (::stat(what->c_str(), &st) != 0) return IoError::from_errno(errno).with_path(*what);
    if (st.st_uid != 0 && st.st_uid != self) return refuse(*what, "belongs to another user");
    const bool shared_write = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (shared_write && !(what == &directory && (st.st_mode & S_ISVTX))) {
      return refuse(*what, "can be written by other users");
    }
  }
  return std::nullopt;
}

std::expected<Path, IoError> sandbox_launcher() {
  std::optional<Path> candidate;
  {
    std::lock_guard guard(override_lock());
    candidate = launcher_override();
  }
  if (!candidate) return host_sandbox_launcher();
  if (!is_regular_file(*candidate)) return std::unexpected(missing_launcher_error());
  if (auto refused = untrusted_launcher(*candidate)) return std::unexpected(std::move(*refused));
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
