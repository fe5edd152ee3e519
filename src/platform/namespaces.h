// The namespaces a contained run gets on Linux, shared by the launcher that
// creates them and the library that reports whether it can: one answer for
// both.
#pragma once

#include <linux/capability.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quellar::platform {

// Whether this process holds CAP_SYS_ADMIN in its effective set.
inline bool has_effective_sys_admin() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective & CAP_TO_MASK(CAP_SYS_ADMIN)) != 0;
}

// PID (nothing outlives the run), mount (a /proc of its own) and IPC (no
// SysV objects of the host), inside a user namespace of their own where the
// caller has no privilege to create them directly. The network namespace is
// added by whoever disables the network.
inline int contained_namespace_flags() {
  int flags = CLONE_NEWPID | CLONE_NEWNS | CLONE_NEWIPC;
  if (!has_effective_sys_admin()) flags |= CLONE_NEWUSER;
  return flags;
}

}  // namespace quellar::platform
