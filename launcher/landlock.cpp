#include "landlock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "landlock_abi.h"
#include "landlock_rights.h"
#include "platform/fd.h"

namespace quellar::sandbox {
namespace {

using platform::UniqueFd;

// Returns -1 and sets errno on failure, like the system call.
int create_ruleset(const LandlockRulesetAttr* attr, size_t size, unsigned flags) {
  return static_cast<int>(::syscall(__NR_landlock_create_ruleset, attr, size, flags));
}

// Whether a failure to open a rule's path means only that the rule grants
// nothing: the path does not exist (a system directory this distribution
// lacks, a grant not yet created), or this user could not reach it anyway.
// Skipping such a rule grants less, never more.
bool is_absent(int error) { return error == ENOENT || error == ENOTDIR || error == EACCES; }

Result<void> add_path_rule(int ruleset, const PathRule& rule, std::uint64_t handled_fs) {
  // O_PATH: no read permission is needed to name the hierarchy, and
  // following symbolic links grants what the caller's path designates.
  UniqueFd fd(::open(rule.path.c_str(), O_PATH | O_CLOEXEC));
  if (!fd) {
    if (is_absent(errno)) return {};
    return enforce_error("cannot open the granted path " + rule.path, errno);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return enforce_error("cannot stat the granted path " + rule.path, errno);
  bool directory = S_ISDIR(st.st_mode);
  // A literal rule names one file. Landlock cannot grant a directory without
  // its contents, so a literal rule that finds a directory grants nothing.
  if (directory && !rule.beneath) return {};

  landlock_path_beneath_attr attr{};
  attr.allowed_access = rule_rights(rule.access, handled_fs, directory);
  attr.parent_fd = fd.get();
  if (attr.allowed_access == 0) return {};
  if (::syscall(__NR_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &attr, 0) != 0) {
    return enforce_error("landlock_add_rule " + rule.path, errno);
  }
  return {};
}

}  // namespace

std::expected<int, int> landlock_abi() {
  int abi = create_ruleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 0) return std::unexpected(errno);
  return abi;
}

Result<void> apply_landlock(const SandboxProfile& profile, int abi) {
  HandledRights handled = handled_rights(abi, profile.network);
  LandlockRulesetAttr attr{handled.fs, handled.net, handled.scoped};
  // The kernel returns the ruleset descriptor already close-on-exec.
  UniqueFd ruleset(create_ruleset(&attr, sizeof attr, 0));
  if (!ruleset) return enforce_error("landlock_create_ruleset", errno);
  for (const PathRule& rule : profile.rules) {
    if (auto added = add_path_rule(ruleset.get(), rule, handled.fs); !added) return added;
  }
  if (::syscall(__NR_landlock_restrict_self, ruleset.get(), 0) != 0) {
    return enforce_error("landlock_restrict_self", errno);
  }
  return {};
}

}  // namespace quellar::sandbox
