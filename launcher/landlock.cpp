#include "landlock.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "landlock_abi.h"
#include "landlock_rights.h"
#include "platform/fd.h"

#ifndef SYS_openat2
#define SYS_openat2 437
#endif

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

// Opens `path` without following a symbolic link in any component: ELOOP
// when one is met. One openat2 where the kernel has it (5.6); otherwise,
// or where a filter refuses it, a walk one component at a time.
int open_literally(const std::string& path) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  int fd = static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how));
  if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return fd;

  UniqueFd dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return -1;
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    // With O_PATH and O_NOFOLLOW a link is opened as itself, so it can be
    // recognised instead of followed.
    UniqueFd next(::openat(dir.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!next) return -1;
    struct stat st {};
    if (::fstat(next.get(), &st) != 0) return -1;
    if (S_ISLNK(st.st_mode)) {
      errno = ELOOP;
      return -1;
    }
    dir = std::move(next);
  }
  return dir.release();
}

Failure grant_through_link(const std::string& path) {
  std::string message = "the filesystem grant " + path + " is or passes through a symbolic link";
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) != nullptr) {
    message += "; grant the resolved path " + std::string(resolved) + " instead";
  } else {
    message += "; grant the resolved path instead";
  }
  return Failure{launcher::Stage::Grant, ELOOP, std::move(message), path};
}

Result<void> add_path_rule(int ruleset, const PathRule& rule, std::uint64_t handled_fs) {
  // O_PATH: no read permission is needed to name the hierarchy. The base
  // profile's system paths follow the system's own links; a grant must be
  // the path itself (the check happens here, when the path is opened, so a
  // link swapped in after the caller checked its request cannot win).
  UniqueFd fd(rule.system ? ::open(rule.path.c_str(), O_PATH | O_CLOEXEC) : open_literally(rule.path));
  if (!fd) {
    if (!rule.system && errno == ELOOP) return std::unexpected(grant_through_link(rule.path));
    if (is_absent(errno)) return {};
    return std::unexpected(Failure{launcher::Stage::Grant, errno, "cannot open the granted path " + rule.path,
                                   rule.path});
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
