#include "seccomp_policy.h"

#include <linux/sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <span>

namespace quellar::sandbox {
namespace {

// One condition on one argument: (arg & mask) op value. A mask of
// 0xffffffff compares only the low 32 bits, for arguments the kernel reads
// as a 32-bit int or unsigned int: the upper half of the register is
// ignored by the kernel, so a comparison of all 64 bits could be dodged by
// setting it.
struct ArgumentTest {
  unsigned index;
  scmp_compare op;
  std::uint64_t mask;   // SCMP_CMP_MASKED_EQ only
  std::uint64_t value;
};

struct SyscallRule {
  int syscall;  // SCMP_SYS(name)
  int error;    // the errno the call fails with
  std::optional<ArgumentTest> when;  // none: every call
  const char* reason;
};

constexpr std::uint64_t kLow32 = 0xffffffffu;

// Always, whatever the profile says.
constexpr SyscallRule kAlways[] = {
    {SCMP_SYS(io_uring_setup), ENOSYS, std::nullopt,
     "io_uring opens, connects and creates sockets with no system call a filter could see; "
     "ENOSYS makes its users fall back to ordinary calls"},
    {SCMP_SYS(io_uring_enter), ENOSYS, std::nullopt, "same: no ring can exist, none can be entered"},
    {SCMP_SYS(io_uring_register), ENOSYS, std::nullopt, "same"},
    {SCMP_SYS(ioctl), EPERM, ArgumentTest{1, SCMP_CMP_MASKED_EQ, kLow32, TIOCSTI},
     "TIOCSTI types into a terminal: commands for the caller's shell once the program exits"},
    {SCMP_SYS(ioctl), EPERM, ArgumentTest{1, SCMP_CMP_MASKED_EQ, kLow32, TIOCLINUX},
     "TIOCLINUX can paste the console selection: the same injection"},
    {SCMP_SYS(pidfd_getfd), EPERM, std::nullopt,
     "copies a descriptor out of another process, around every check made when it was opened"},
    {SCMP_SYS(unshare), EPERM, ArgumentTest{0, SCMP_CMP_MASKED_EQ, CLONE_NEWUSER, CLONE_NEWUSER},
     "a user namespace hands out every capability inside it, and with them kernel code "
     "(mounts, netfilter, ...) otherwise reserved to root"},
    // The flags are clone's first argument on every architecture we build
    // for (s390 and cris swap the first two; we do not ship there).
    {SCMP_SYS(clone), EPERM, ArgumentTest{0, SCMP_CMP_MASKED_EQ, CLONE_NEWUSER, CLONE_NEWUSER},
     "the same user namespace, created with the new process"},
    {SCMP_SYS(clone3), ENOSYS, std::nullopt,
     "its flags are in memory a filter cannot read; ENOSYS makes libc fall back to clone, "
     "whose flags the rule above checks"},
};

// With the network disabled. The domain is compared on all 64 bits: any
// value but exactly AF_UNIX is refused, so setting the upper half only
// refuses more.
constexpr SyscallRule kNetworkDisabled[] = {
    {SCMP_SYS(socket), EACCES, ArgumentTest{0, SCMP_CMP_NE, 0, AF_UNIX},
     "only Unix-domain sockets: no IP, raw, packet, netlink or any other family"},
    {SCMP_SYS(socketpair), EACCES, ArgumentTest{0, SCMP_CMP_NE, 0, AF_UNIX}, "same"},
};

struct FilterDeleter {
  void operator()(void* ctx) const { seccomp_release(ctx); }
};
using Filter = std::unique_ptr<void, FilterDeleter>;

Result<void> add_rules(scmp_filter_ctx ctx, std::span<const SyscallRule> rules) {
  for (const SyscallRule& rule : rules) {
    int rc;
    if (rule.when) {
      scmp_arg_cmp cmp{rule.when->index, rule.when->op,
                       rule.when->op == SCMP_CMP_MASKED_EQ ? rule.when->mask : rule.when->value,
                       rule.when->op == SCMP_CMP_MASKED_EQ ? rule.when->value : 0};
      rc = seccomp_rule_add(ctx, SCMP_ACT_ERRNO(static_cast<unsigned>(rule.error)), rule.syscall, 1, cmp);
    } else {
      rc = seccomp_rule_add(ctx, SCMP_ACT_ERRNO(static_cast<unsigned>(rule.error)), rule.syscall, 0);
    }
    if (rc != 0) return enforce_error("adding a seccomp rule", -rc);
  }
  return {};
}

}  // namespace

Result<void> install_seccomp(bool network) {
  // Everything not named is allowed: Landlock and the dropped capabilities
  // do the containing, this filter closes the gaps they leave.
  Filter filter(seccomp_init(SCMP_ACT_ALLOW));
  if (!filter) return enforce_error("seccomp_init", ENOMEM);
  // System calls of another architecture (int 0x80 from a 64-bit process)
  // and x32 calls bypass a filter written in x86-64 numbers, so they kill
  // the process; libseccomp routes x32 numbers to this same action.
  if (int rc = seccomp_attr_set(filter.get(), SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS); rc != 0) {
    return enforce_error("seccomp_attr_set", -rc);
  }
  if (auto ok = add_rules(filter.get(), kAlways); !ok) return ok;
  if (!network) {
    if (auto ok = add_rules(filter.get(), kNetworkDisabled); !ok) return ok;
  }
  if (int rc = seccomp_load(filter.get()); rc != 0) return enforce_error("seccomp_load", -rc);
  return {};
}

}  // namespace quellar::sandbox
