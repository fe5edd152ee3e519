#include "capabilities.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace quellar::sandbox {
namespace {

// Raw system calls instead of libcap: three calls do not justify a library
// in a statically linked launcher.
struct CapabilitySets {
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
};

bool get_capabilities(CapabilitySets& sets) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return ::syscall(SYS_capget, &header, sets.data) == 0;
}

bool set_capabilities(const CapabilitySets& sets) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return ::syscall(SYS_capset, &header, sets.data) == 0;
}

bool holds_any(const CapabilitySets& sets) {
  for (const auto& d : sets.data) {
    if (d.effective || d.permitted || d.inheritable) return true;
  }
  return false;
}

bool has_effective(const CapabilitySets& sets, int cap) {
  return (sets.data[CAP_TO_INDEX(cap)].effective & CAP_TO_MASK(cap)) != 0;
}

}  // namespace

Result<void> drop_all_capabilities() {
  CapabilitySets sets;
  if (!get_capabilities(sets)) return enforce_error("capget", errno);
  if (::geteuid() != 0 && !holds_any(sets)) return {};

  // The bounding set first, while CAP_SETPCAP is still effective. Without
  // it the bounding set cannot shrink, but no_new_privs already keeps
  // execve from adding anything to an empty permitted set, so the empty
  // sets below are what contain the program; the bounding set is a second
  // lock where we can turn it.
  // Dropping a capability that is not in the set is a no-op, so one call a
  // capability is enough (every contained run pays for these).
  if (has_effective(sets, CAP_SETPCAP)) {
    for (int cap = 0;; ++cap) {
      if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) == 0) continue;
      if (errno == EINVAL) break;  // past the kernel's last capability
      return enforce_error("dropping a capability from the bounding set", errno);
    }
  }
  if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0) {
    return enforce_error("clearing the ambient capabilities", errno);
  }
  if (!set_capabilities(CapabilitySets{})) return enforce_error("capset", errno);

  // Trust, but verify: a partial drop must not pass for a full one.
  CapabilitySets after;
  if (!get_capabilities(after)) return enforce_error("capget", errno);
  if (holds_any(after)) return enforce_error("capabilities remained after dropping them", EPERM);
  return {};
}

}  // namespace quellar::sandbox
