#include "filesystem.h"

#include <algorithm>

#include "platform/launcher.h"
#include "profile_data.h"
#include "supervisor/validate.h"
#include "text.h"

namespace quellar {
namespace {

constexpr std::string_view kNetworkHost =
    "(allow network-outbound)\n"
    "(allow network-inbound)\n";
constexpr std::string_view kNetworkLocalOnly =
    "(allow network-outbound (remote unix))\n"
    "(allow network-inbound (local unix))\n";
constexpr std::string_view kReadRulePrefix =
    "(allow file-read* file-test-existence file-map-executable (subpath \"";
constexpr std::string_view kWriteRulePrefix = "(allow file-write* (subpath \"";
constexpr std::string_view kRuleSuffix = "\"))\n";

bool contains(const std::vector<FilesystemAccess>& access, FilesystemAccess wanted) {
  return std::find(access.begin(), access.end(), wanted) != access.end();
}

// Appends `path` as the body of a profile string literal. The profile
// language has no escape for line breaks or NUL, so those refuse the grant
// rather than let a path end a rule early and inject its own rules.
std::expected<void, IoError> append_escaped(std::string& out, std::string_view path) {
  if (!is_valid_utf8(path)) {
    return std::unexpected(
        IoError::invalid_input("macOS filesystem grants must contain valid UTF-8 paths"));
  }
  for (char c : path) {
    switch (c) {
      case '\0':
      case '\n':
      case '\r':
        return std::unexpected(
            IoError::invalid_input("macOS filesystem grants cannot contain control characters"));
      case '"':
      case '\\':
        out.push_back('\\');
        out.push_back(c);
        break;
      default:
        out.push_back(c);
    }
  }
  return {};
}

}  // namespace

std::string_view base_profile(ProfileTarget target) {
  return target == ProfileTarget::MacOS ? profile_data::kMacOSBase : profile_data::kLinuxBase;
}

std::expected<void, IoError> validate_grants(const FilesystemPolicy& policy) {
  for (const FilesystemGrant& grant : policy.grants) {
    if (grant.path.empty() || grant.path.front() != '/') {
      return std::unexpected(
          IoError::invalid_input("filesystem grant must be absolute: " + display_path(grant.path)));
    }
    if (grant.access.empty()) {
      return std::unexpected(IoError::invalid_input("filesystem grant has no access rights: " +
                                                    display_path(grant.path)));
    }
    if (contains(grant.access, FilesystemAccess::Append) &&
        !contains(grant.access, FilesystemAccess::Write)) {
      return std::unexpected(IoError::unsupported(
          "append-only filesystem access is not enforceable for a child process; grant write "
          "explicitly: " +
          display_path(grant.path)));
    }
  }
  return {};
}

namespace {

// The launcher runs every contained command, before it is contained: a
// contained command that could rewrite it (or rename another file into its
// place) would run every later one unconfined. So no write grant may hold
// the directory the launcher lives in, whatever path the grant reaches it by.
std::expected<void, IoError> check_launcher_out_of_reach(const FilesystemPolicy& policy,
                                                         const Path& launcher) {
  auto file = canonical_path(launcher);
  if (!file) return {};  // it was there a moment ago; spawning will say
  const Path home = file->substr(0, std::max<std::size_t>(file->rfind('/'), 1));
  for (const FilesystemGrant& grant : policy.grants) {
    if (!contains(grant.access, FilesystemAccess::Write)) continue;
    auto root = canonical_path(grant.path);
    if (root && (path_within(home, *root) || *root == *file)) {
      return std::unexpected(IoError::invalid_input(
          "the write grant " + display_path(grant.path) + " holds the sandbox launcher (" +
          display_path(launcher) +
          "), which a contained command could then replace; grant a directory that does not hold it")
          .with_path(grant.path));
    }
  }
  return {};
}

}  // namespace

std::expected<Path, IoError> validate_policy(const FilesystemPolicy& policy) {
  if (auto checked = validate_grants(policy); !checked) return std::unexpected(std::move(checked.error()));
  auto launcher = platform::sandbox_launcher();
  if (!launcher) return launcher;
  if (auto reach = check_launcher_out_of_reach(policy, *launcher); !reach) {
    return std::unexpected(std::move(reach.error()));
  }
  return launcher;
}

std::expected<std::string, IoError> build_profile(ProfileTarget target,
                                                  const FilesystemPolicy& policy,
                                                  bool disable_network) {
  std::string profile(base_profile(target));
  profile += disable_network ? kNetworkLocalOnly : kNetworkHost;
  for (const FilesystemGrant& grant : policy.grants) {
    std::string escaped;
    if (auto ok = append_escaped(escaped, grant.path); !ok) return std::unexpected(ok.error());
    if (!grant.access.empty()) {
      profile += kReadRulePrefix;
      profile += escaped;
      profile += kRuleSuffix;
    }
    // Append adds no rule of its own: it is only accepted together with
    // Write, whose rule covers appending.
    if (contains(grant.access, FilesystemAccess::Write)) {
      profile += kWriteRulePrefix;
      profile += escaped;
      profile += kRuleSuffix;
    }
  }
  return profile;
}

std::expected<void, IoError> wrap_command(Command& command, const Path& launcher,
                                          const FilesystemPolicy& policy, bool disable_network) {
  Path program = std::move(command.program);
  std::optional<std::string> program_arg0 = std::move(command.program_arg0);
  std::vector<std::string> args = std::move(command.args);
  command = Command(launcher);
  command.sandboxed = true;
  command.program_arg0 = std::move(program_arg0);

  auto profile = build_profile(kHostProfileTarget, policy, disable_network);
  if (!profile) return std::unexpected(std::move(profile.error()));

  command.args.reserve(args.size() + 3);
  command.args.push_back("-p");
  command.args.push_back(std::move(*profile));
  command.args.push_back(std::move(program));
  for (std::string& arg : args) command.args.push_back(std::move(arg));
  return {};
}

std::expected<void, IoError> wrap_command(Command& command, const FilesystemPolicy& policy,
                                          bool disable_network) {
  if (auto checked = validate_grants(policy); !checked) return checked;
  auto launcher = platform::sandbox_launcher();
  if (!launcher) return std::unexpected(std::move(launcher.error()));
  return wrap_command(command, *launcher, policy, disable_network);
}

}  // namespace quellar
