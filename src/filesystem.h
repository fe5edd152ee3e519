// Filesystem and network containment: the grant records, their validation,
// the sandbox profile text and the rewriting of a command so that it starts
// under the sandbox launcher.
//
// The profile language is the macOS sandbox's. On Linux our own launcher,
// quellar-sandbox, reads the same language (only the forms generated here)
// and enforces it with Landlock and seccomp; only the base profile differs,
// naming Linux system directories instead of macOS ones.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "io_error.h"

namespace quellar {

enum class FilesystemAccess : std::uint8_t { Read = 0, Write = 1, Append = 2 };

struct FilesystemGrant {
  Path path;  // as the caller gave it: not canonicalised
  std::vector<FilesystemAccess> access;  // caller's order, duplicates kept

  friend bool operator==(const FilesystemGrant&, const FilesystemGrant&) = default;
};

struct FilesystemPolicy {
  std::vector<FilesystemGrant> grants;  // empty: nothing beyond the base profile

  friend bool operator==(const FilesystemPolicy&, const FilesystemPolicy&) = default;
};

enum class ProfileTarget : std::uint8_t { MacOS, Linux };

#if defined(__APPLE__)
inline constexpr ProfileTarget kHostProfileTarget = ProfileTarget::MacOS;
#else
inline constexpr ProfileTarget kHostProfileTarget = ProfileTarget::Linux;
#endif

// The fixed head of every profile for a target, each line ended by LF.
std::string_view base_profile(ProfileTarget target);

// The per-grant checks only (absolute path, some access, no append without
// write). Touches nothing on disk.
std::expected<void, IoError> validate_grants(const FilesystemPolicy& policy);

// validate_grants, then the host's launcher must be present, usable and out
// of every write grant's reach. Returns the launcher's path.
std::expected<Path, IoError> validate_policy(const FilesystemPolicy& policy);

// The full profile text for a target: base, network section, grant rules.
std::expected<std::string, IoError> build_profile(ProfileTarget target,
                                                  const FilesystemPolicy& policy,
                                                  bool disable_network);

// Replaces `command` by the launcher running the previous program and
// arguments under the generated profile. Everything else set on the command
// is discarded: set the environment and working directory afterwards. On a
// profile failure it holds only the launcher and must not be started. For a
// policy, and its `launcher`, that validate_policy returned: the grants are
// not checked again on the way to every start.
std::expected<void, IoError> wrap_command(Command& command, const Path& launcher,
                                          const FilesystemPolicy& policy, bool disable_network);
// The same with the host's launcher, found first, and the grants validated
// (on a validation failure the command is untouched).
std::expected<void, IoError> wrap_command(Command& command, const FilesystemPolicy& policy,
                                          bool disable_network);

}  // namespace quellar
