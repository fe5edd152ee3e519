#include "environment.h"

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

void read_inherited_environment(EnvironmentPolicy& policy) {
  policy.inherited_values.clear();
  for (const std::string& name : policy.inherited_names) {
    // A name the policy refuses is never looked up (validation reports it).
    if (!check_name(name)) continue;
    if (const char* value = std::getenv(name.c_str())) policy.inherited_values[name] = value;
  }
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
  for (const auto& [name, value] : policy.inherited_values) {
    if (policy.inherited_names.contains(name)) command.environment[name] = value;
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
