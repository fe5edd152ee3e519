#include "isolation.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/namespaces.h"

namespace quellar::sandbox {
namespace {

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

Result<bool> isolate(bool disable_network) {
  const int flags = platform::contained_namespace_flags();
  if (!(disable_network && ::unshare(flags | CLONE_NEWNET) == 0) && ::unshare(flags) != 0) {
    return false;
  }
  // Unmapped, the caller's identity would show as the overflow user and no
  // file could be created; the namespaces cannot be left again either.
  if ((flags & CLONE_NEWUSER) != 0 && !map_own_identity()) {
    return start_error("mapping the caller's identity into its user namespace", errno);
  }
  return true;
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
