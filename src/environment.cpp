#include "environment.h"

#include <pthread.h>

#include <array>
#include <cstdlib>
#include <string_view>

namespace quellar {
namespace {

// Loader variables that run code of the caller's choosing inside the child,
// around whatever the sandbox profile allows.
constexpr std::array<std::string_view, 4> kForbiddenNames = {"LD_AUDIT", "LD_DEBUG",
                                                             "LD_LIBRARY_PATH", "LD_PRELOAD"};
constexpr std::string_view kForbiddenPrefix = "DYLD_";

std::expected<void, SandboxError> check_name(std::string_view name) {
  if (name.empty() || name.find('=') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    return std::unexpected(SandboxError::of(SandboxErrorKind::InvalidEnvironmentName));
  }
  for (std::string_view forbidden : kForbiddenNames) {
    if (name == forbidden) {
      return std::unexpected(SandboxError::of(SandboxErrorKind::ForbiddenEnvironmentVariable));
    }
  }
  if (name.starts_with(kForbiddenPrefix)) {
    return std::unexpected(SandboxError::of(SandboxErrorKind::ForbiddenEnvironmentVariable));
  }
  return {};
}

std::expected<void, SandboxError> check_search_path(const std::vector<Path>& search_path) {
  for (const Path& entry : search_path) {
    if (entry.empty() || entry.front() != '/') {
      return std::unexpected(SandboxError::of(SandboxErrorKind::RelativeSearchPath));
    }
  }
  return {};
}

}  // namespace

std::mutex& environment_lock() {
  static std::mutex lock;
  // Held across fork(), so that a child process never starts with it locked
  // by a thread that was not copied into it.
  static const int fork_handlers = ::pthread_atfork([] { lock.lock(); }, [] { lock.unlock(); },
                                                    [] { lock.unlock(); });
  (void)fork_handlers;
  return lock;
}

std::expected<void, SandboxError> validate_environment_policy(const EnvironmentPolicy& policy) {
  for (const std::string& name : policy.inherited_names) {
    if (auto ok = check_name(name); !ok) return ok;
  }
  for (const auto& [name, value] : policy.variables) {
    if (auto ok = check_name(name); !ok) return ok;
  }
  return check_search_path(policy.search_path);
}

std::expected<void, SandboxError> apply_environment_policy(Command& command,
                                                           const EnvironmentPolicy& policy) {
  if (auto ok = validate_environment_policy(policy); !ok) return ok;
  command.environment.clear();
  if (!policy.inherited_names.empty()) {
    std::lock_guard guard(environment_lock());
    for (const std::string& name : policy.inherited_names) {
      // Names were checked above: no NUL, so c_str() is the whole name.
      if (const char* value = std::getenv(name.c_str())) command.environment[name] = value;
    }
  }
  for (const auto& [name, value] : policy.variables) command.environment[name] = value;
  if (policy.search_path.empty()) return {};

  if (auto ok = check_search_path(policy.search_path); !ok) return ok;
  std::string joined;
  for (const Path& entry : policy.search_path) {
    if (entry.find(':') != Path::npos) {
      return std::unexpected(SandboxError::of(SandboxErrorKind::InvalidSearchPath));
    }
    if (!joined.empty()) joined.push_back(':');
    joined += entry;
  }
  command.environment["PATH"] = std::move(joined);
  return {};
}

}  // namespace quellar
