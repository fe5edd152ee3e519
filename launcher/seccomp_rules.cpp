#include "seccomp_rules.h"

#include <fcntl.h>
#include <linux/ioprio.h>
#include <linux/sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <span>

// Newer than the kernel headers of the build machine; the number is the
// same on every architecture.
#ifndef __NR_fchmodat2
#define __NR_fchmodat2 452
#endif

namespace quellar::sandbox {
namespace {

// One condition on one argument: (arg & mask) op value. A mask of
// 0xffffffff compares only the low 32 bits, for arguments the kernel reads
// as a 32-bit int or unsigned int: the upper half of the register is
// ignored by the kernel, so a comparison of all 64 bits could be dodged by
// setting it. "Must be zero" tests compare all 64 bits instead: a set upper
// half only refuses more.
struct ArgumentTest {
  unsigned index = 0;
  scmp_compare op = SCMP_CMP_EQ;
  std::uint64_t mask = 0;  // SCMP_CMP_MASKED_EQ only
  std::uint64_t value = 0;
};

constexpr int kNoTests = 0;

// A call matching every test fails with `error`. Rules on the same call
// combine as alternatives (any rule that matches refuses it).
struct SyscallRule {
  int syscall;  // SCMP_SYS(name)
  int error;    // the errno the call fails with; never a kill, so that
                // well-behaved tools see an ordinary error
  int test_count = kNoTests;
  ArgumentTest tests[2] = {};
  const char* reason = "";
};

constexpr std::uint64_t kLow32 = 0xffffffffu;

constexpr ArgumentTest nonzero(unsigned index) { return {index, SCMP_CMP_NE, 0, 0}; }
constexpr ArgumentTest has_bits(unsigned index, std::uint64_t bits) {
  return {index, SCMP_CMP_MASKED_EQ, bits & kLow32, bits & kLow32};
}
constexpr ArgumentTest is(unsigned index, std::uint64_t value) {
  return {index, SCMP_CMP_MASKED_EQ, kLow32, value};
}

constexpr SyscallRule always(int nr, int error, const char* reason) { return {nr, error, 0, {}, reason}; }
constexpr SyscallRule when(int nr, int error, ArgumentTest a, const char* reason) {
  return {nr, error, 1, {a, {}}, reason};
}
constexpr SyscallRule when(int nr, int error, ArgumentTest a, ArgumentTest b, const char* reason) {
  return {nr, error, 2, {a, b}, reason};
}

// The fourteen SysV IPC calls reach objects shared by the whole machine
// (or container), keyed by numbers any process can guess.
constexpr SyscallRule kSysvIpc[] = {
    always(SCMP_SYS(shmget), EPERM,
           "SysV shared memory, message queues and semaphores are shared with every process of the "
           "host's IPC namespace: a 0600 segment of the same user can be read and overwritten"),
    always(SCMP_SYS(shmat), EPERM, "same"),
    always(SCMP_SYS(shmctl), EPERM, "same"),
    always(SCMP_SYS(shmdt), EPERM, "same"),
    always(SCMP_SYS(msgget), EPERM, "same"),
    always(SCMP_SYS(msgsnd), EPERM, "same"),
    always(SCMP_SYS(msgrcv), EPERM, "same"),
    always(SCMP_SYS(msgctl), EPERM, "same"),
    always(SCMP_SYS(semget), EPERM, "same"),
    always(SCMP_SYS(semop), EPERM, "same"),
    always(SCMP_SYS(semtimedop), EPERM, "same"),
    always(SCMP_SYS(semctl), EPERM, "same"),
};

// Always, whatever the profile says.
constexpr SyscallRule kAlways[] = {
    always(SCMP_SYS(io_uring_setup), ENOSYS,
           "io_uring opens, connects and creates sockets with no system call a filter could see; "
           "ENOSYS makes its users fall back to ordinary calls"),
    always(SCMP_SYS(io_uring_enter), ENOSYS, "same: no ring can exist, none can be entered"),
    always(SCMP_SYS(io_uring_register), ENOSYS, "same"),
    when(SCMP_SYS(ioctl), EPERM, is(1, TIOCSTI),
         "TIOCSTI types into a terminal: commands for the caller's shell once the program exits"),
    when(SCMP_SYS(ioctl), EPERM, is(1, TIOCLINUX),
         "TIOCLINUX can paste the console selection: the same injection"),
    always(SCMP_SYS(pidfd_getfd), EPERM,
           "copies a descriptor out of another process, around every check made when it was opened"),
    when(SCMP_SYS(unshare), EPERM, has_bits(0, CLONE_NEWUSER),
         "a user namespace hands out every capability inside it, and with them kernel code "
         "(mounts, netfilter, ...) otherwise reserved to root"),
    // The flags are clone's first argument on every architecture we build
    // for (s390 and cris swap the first two; we do not ship there).
    when(SCMP_SYS(clone), EPERM, has_bits(0, CLONE_NEWUSER),
         "the same user namespace, created with the new process"),
    when(SCMP_SYS(clone), EPERM, has_bits(0, CLONE_PARENT),
         "the new process would be a child of the caller's parent: inside the run, its init is "
         "every orphan's parent anyway, so the flag only ever serves to leave the tree that "
         "reaps and kills the run's processes; refused as a second lock"),
    always(SCMP_SYS(clone3), ENOSYS,
           "its flags are in memory a filter cannot read; ENOSYS makes libc fall back to clone, "
           "whose flags the rules above check"),

    // Other processes' limits and scheduling: neither Landlock nor signal
    // scoping covers these, and without a PID namespace every process of the
    // user is a target (the supervisor included). A process may still set
    // its own, which is what libc's setrlimit, nice and friends do.
    when(SCMP_SYS(prlimit64), EPERM, nonzero(0),
         "RLIMIT_CPU or RLIMIT_NOFILE set on another process kills or cripples it (the supervisor)"),
    when(SCMP_SYS(setpriority), EPERM, nonzero(0),
         "the group- and user-wide forms (PRIO_PGRP, PRIO_USER) reach processes outside"),
    when(SCMP_SYS(setpriority), EPERM, nonzero(1), "another process's priority"),
    when(SCMP_SYS(sched_setaffinity), EPERM, nonzero(0), "another process's CPUs"),
    when(SCMP_SYS(sched_setscheduler), EPERM, nonzero(0),
         "another process's policy (SCHED_IDLE starves the supervisor)"),
    when(SCMP_SYS(sched_setparam), EPERM, nonzero(0), "another process's priority"),
    when(SCMP_SYS(sched_setattr), EPERM, nonzero(0), "another process's policy"),
    when(SCMP_SYS(ioprio_set), EPERM, nonzero(1), "another process's I/O priority"),
    when(SCMP_SYS(ioprio_set), EPERM, {0, SCMP_CMP_NE, 0, IOPRIO_WHO_PROCESS},
         "the group- and user-wide forms reach processes outside"),

    // Keys are shared by every process of the session and of the user.
    always(SCMP_SYS(keyctl), EPERM,
           "the session and user keyrings are the caller's: their keys can be read, planted or "
           "cleared"),
    always(SCMP_SYS(add_key), EPERM, "same"),
    always(SCMP_SYS(request_key), EPERM, "same"),

    always(SCMP_SYS(openat2), ENOSYS,
           "its flags and mode are in memory a filter cannot read; ENOSYS makes its few users "
           "fall back to openat"),

    always(SCMP_SYS(fanotify_init), EPERM,
           "fanotify watches whole mounts and file systems: names and contents of files outside "
           "the grants as they are touched"),
};

// Set-user-ID and set-group-ID modes: a contained process owns the caller's
// files (all of root's, when the caller is root), and such a mode on one of
// them runs it with the caller's identity for anybody who starts it later
// (chmod u+s on a file outside the grants). Landlock does not mediate
// changing a mode, and creating such a file in a writable grant is the same
// door. Each call below is refused when its mode has S_ISUID or S_ISGID.
struct ModeArgument {
  int syscall;
  unsigned mode;  // the mode's argument
  // The flags' argument of an open: its mode counts only with O_CREAT or
  // O_TMPFILE (otherwise libc leaves whatever the register held). -1: the
  // mode always counts.
  int flags = -1;
};

constexpr ModeArgument kModeArguments[] = {
    {SCMP_SYS(chmod), 1},         {SCMP_SYS(fchmod), 1},        {SCMP_SYS(fchmodat), 2},
    {__NR_fchmodat2, 2},          {SCMP_SYS(creat), 1},         {SCMP_SYS(mknod), 1},
    {SCMP_SYS(mknodat), 2},       {SCMP_SYS(open), 2, 1},       {SCMP_SYS(openat), 3, 2},
};

// With the network disabled. The domain is compared on all 64 bits: any
// value but exactly AF_UNIX is refused, so setting the upper half only
// refuses more.
constexpr SyscallRule kNetworkDisabled[] = {
    when(SCMP_SYS(socket), EACCES, {0, SCMP_CMP_NE, 0, AF_UNIX},
         "only Unix-domain sockets: no IP, raw, packet, netlink or any other family"),
    when(SCMP_SYS(socketpair), EACCES, {0, SCMP_CMP_NE, 0, AF_UNIX}, "same"),
};

struct FilterDeleter {
  void operator()(void* ctx) const { seccomp_release(ctx); }
};
using Filter = std::unique_ptr<void, FilterDeleter>;

scmp_arg_cmp to_cmp(const ArgumentTest& test) {
  if (test.op == SCMP_CMP_MASKED_EQ) return {test.index, test.op, test.mask, test.value};
  return {test.index, test.op, test.value, 0};
}

Result<void> add_rule(scmp_filter_ctx ctx, const SyscallRule& rule) {
  scmp_arg_cmp tests[2] = {to_cmp(rule.tests[0]), to_cmp(rule.tests[1])};
  const int rc = seccomp_rule_add_array(ctx, SCMP_ACT_ERRNO(static_cast<unsigned>(rule.error)),
                                        rule.syscall, static_cast<unsigned>(rule.test_count), tests);
  if (rc != 0) return enforce_error("adding a seccomp rule", -rc);
  return {};
}

Result<void> add_rules(scmp_filter_ctx ctx, std::span<const SyscallRule> rules) {
  for (const SyscallRule& rule : rules) {
    if (auto ok = add_rule(ctx, rule); !ok) return ok;
  }
  return {};
}

Result<void> add_set_id_mode_rules(scmp_filter_ctx ctx) {
  for (const ModeArgument& call : kModeArguments) {
    for (std::uint64_t bit : {S_ISUID, S_ISGID}) {
      const ArgumentTest mode = has_bits(call.mode, bit);
      if (call.flags < 0) {
        if (auto ok = add_rule(ctx, when(call.syscall, EPERM, mode, "a set-ID mode")); !ok) return ok;
        continue;
      }
      for (std::uint64_t creating : {std::uint64_t{O_CREAT}, std::uint64_t{__O_TMPFILE}}) {
        const ArgumentTest flags = has_bits(static_cast<unsigned>(call.flags), creating);
        if (auto ok = add_rule(ctx, when(call.syscall, EPERM, flags, mode, "a new set-ID file")); !ok) {
          return ok;
        }
      }
    }
  }
  return {};
}

}  // namespace

Result<std::vector<sock_filter>> compile_filter(const FilterOptions& options) {
  // Everything not named is allowed: Landlock, the namespaces and the
  // dropped capabilities do the containing, this filter closes the gaps
  // they leave.
  Filter filter(seccomp_init(SCMP_ACT_ALLOW));
  if (!filter) return enforce_error("seccomp_init", ENOMEM);
  // System calls of another architecture (int 0x80 from a 64-bit process)
  // and x32 calls bypass a filter written in x86-64 numbers, so they kill
  // the process; libseccomp routes x32 numbers to this same action.
  if (int rc = seccomp_attr_set(filter.get(), SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS); rc != 0) {
    return enforce_error("seccomp_attr_set", -rc);
  }
  if (auto ok = add_rules(filter.get(), kAlways); !ok) return std::unexpected(ok.error());
  if (auto ok = add_set_id_mode_rules(filter.get()); !ok) return std::unexpected(ok.error());
  if (!options.ipc_isolated) {
    if (auto ok = add_rules(filter.get(), kSysvIpc); !ok) return std::unexpected(ok.error());
  }
  if (!options.network) {
    if (auto ok = add_rules(filter.get(), kNetworkDisabled); !ok) return std::unexpected(ok.error());
  }
  // The program as the kernel will run it: exported to a file, read back.
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::tmpfile(), &std::fclose);
  if (!file) return enforce_error("tmpfile", errno);
  if (int rc = seccomp_export_bpf(filter.get(), ::fileno(file.get())); rc != 0) {
    return enforce_error("seccomp_export_bpf", -rc);
  }
  std::rewind(file.get());
  std::vector<sock_filter> program;
  sock_filter instruction{};
  while (std::fread(&instruction, sizeof instruction, 1, file.get()) == 1) program.push_back(instruction);
  return program;
}

}  // namespace quellar::sandbox
