#include "isolation.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace quellar::sandbox {
namespace {

bool has_sys_admin() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective & CAP_TO_MASK(CAP_SYS_ADMIN)) != 0;
}

bool write_file(const char* path, const std::string& text) {
  int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);  // not retried: the descriptor is gone even on EINTR
  return ok;
}

// Inside a new user namespace the caller keeps its own identity: its user
// and group map to themselves, so files keep their owners and permission
// checks their meaning. setgroups must be refused before an unprivileged
// process may write a group map.
bool map_own_identity() {
  const std::string uid = std::to_string(::geteuid());
  const std::string gid = std::to_string(::getegid());
  return write_file("/proc/self/setgroups", "deny") &&
         write_file("/proc/self/uid_map", uid + " " + uid + " 1") &&
         write_file("/proc/self/gid_map", gid + " " + gid + " 1");
}

}  // namespace

Result<Isolation> isolate(bool disable_network) {
  int flags = CLONE_NEWPID | CLONE_NEWNS | CLONE_NEWIPC;
  const bool own_user = !has_sys_admin();
  if (own_user) flags |= CLONE_NEWUSER;
  Isolation got;
  if (disable_network && ::unshare(flags | CLONE_NEWNET) == 0) {
    got.net = true;
  } else if (::unshare(flags) != 0) {
    return Isolation{};
  }
  // Unmapped, the caller's identity would show as the overflow user and no
  // file could be created; the namespaces cannot be left again either.
  if (own_user && !map_own_identity()) return start_error("mapping the caller's identity into its user namespace", errno);
  got.pid = got.mount = got.ipc = true;
  return got;
}

bool mount_own_proc() {
  // The new mount would propagate to the host's /proc if the mount it
  // covers were shared; a private /proc keeps it in this namespace. Without
  // /proc mounted at all, the root's propagation is what matters.
  if (::mount(nullptr, "/proc", nullptr, MS_PRIVATE, nullptr) != 0 &&
      ::mount(nullptr, "/", nullptr, MS_PRIVATE, nullptr) != 0) {
    return false;
  }
  return ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0;
}

}  // namespace quellar::sandbox
