#include "landlock_rights.h"

#include "landlock_abi.h"
#include "profile.h"

namespace quellar::sandbox {
namespace {

constexpr std::uint64_t kReadRights = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
constexpr std::uint64_t kExecuteRights = LANDLOCK_ACCESS_FS_EXECUTE;

// Never MAKE_CHAR or MAKE_BLOCK: a device node created in a writable grant
// would be a door to the host's memory or disks for whoever can open it.
constexpr std::uint64_t kWriteRights =
    LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
    LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK |
    LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_SYM | LANDLOCK_ACCESS_FS_REFER |
    LANDLOCK_ACCESS_FS_TRUNCATE | LANDLOCK_ACCESS_FS_IOCTL_DEV |
    // A socket in a writable grant is the caller's to hand out; one
    // anywhere else (a session bus, a container engine's socket) is not.
    LANDLOCK_ACCESS_FS_RESOLVE_UNIX;

constexpr std::uint64_t kFileRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                      LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_TRUNCATE |
                                      LANDLOCK_ACCESS_FS_IOCTL_DEV;

// ABI 1 knows the thirteen rights from EXECUTE to MAKE_SYM.
constexpr std::uint64_t kAbi1Rights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;

}  // namespace

std::uint64_t file_rights() { return kFileRights; }

HandledRights handled_rights(int abi, bool network) {
  HandledRights handled;
  if (abi < 1) return handled;
  handled.fs = kAbi1Rights;
  if (abi >= 2) handled.fs |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) handled.fs |= LANDLOCK_ACCESS_FS_TRUNCATE;
  if (abi >= 5) handled.fs |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
  if (abi >= 9) handled.fs |= LANDLOCK_ACCESS_FS_RESOLVE_UNIX;
  // No rule ever grants a port, so handling TCP denies every bind and
  // connect, even on a TCP socket inherited from outside.
  if (abi >= 4 && !network) {
    handled.net = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
  }
  // Signals always stay inside the sandbox: the supervisor (and everything
  // else the user runs) is outside it. Abstract sockets have no file to
  // guard them, so they are the network too.
  if (abi >= 6) {
    handled.scoped = LANDLOCK_SCOPE_SIGNAL;
    if (!network) handled.scoped |= LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET;
  }
  return handled;
}

std::uint64_t rule_rights(unsigned access, std::uint64_t handled_fs, bool directory) {
  std::uint64_t rights = 0;
  if (access & kAccessRead) rights |= kReadRights;
  if (access & kAccessExecute) rights |= kExecuteRights;
  if (access & kAccessWrite) rights |= kWriteRights;
  rights &= handled_fs;
  if (!directory) rights &= kFileRights;
  return rights;
}

}  // namespace quellar::sandbox
