// The Landlock interface up to ABI 9. Debian 12's kernel headers stop at
// ABI 2 (Linux 6.1), so what came later is defined here, with the numbers of
// the kernel's include/uapi/linux/landlock.h. Each guard lets newer headers
// win if they are installed.
#pragma once

#include <linux/landlock.h>
#include <sys/syscall.h>

#include <cstdint>

namespace quellar::sandbox {

// The full attribute structure (ABI 6). Older kernels accept it as long as
// the fields they do not know are zero, which handled_rights() guarantees.
struct LandlockRulesetAttr {
  std::uint64_t handled_access_fs;
  std::uint64_t handled_access_net;  // ABI 4
  std::uint64_t scoped;              // ABI 6
};

struct LandlockNetPortAttr {  // ABI 4
  std::uint64_t allowed_access;
  std::uint64_t port;
};

}  // namespace quellar::sandbox

// ABI 3 (Linux 6.2): truncate(2), ftruncate on files opened after
// restriction, O_TRUNC.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif

// ABI 4 (Linux 6.7): TCP bind and connect by port.
#ifndef LANDLOCK_RULE_NET_PORT
#define LANDLOCK_RULE_NET_PORT 2
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#endif
#ifndef LANDLOCK_ACCESS_NET_CONNECT_TCP
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif

// ABI 5 (Linux 6.10): ioctl on character and block devices.
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif

// ABI 6 (Linux 6.12): a domain's processes may no longer connect to abstract
// Unix sockets bound outside it, nor signal processes outside it.
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

// ABI 9: connecting to a Unix socket that has a path (connect, sendmsg)
// needs this right on a hierarchy that holds the socket, unless the socket
// was created inside the same domain.
#ifndef LANDLOCK_ACCESS_FS_RESOLVE_UNIX
#define LANDLOCK_ACCESS_FS_RESOLVE_UNIX (1ULL << 16)
#endif

// ABI 7 (Linux 6.15) adds only audit-logging flags for restrict_self. We keep
// the kernel's defaults: a denial met by the launcher itself (an execve of an
// ungranted program) is logged, denials of the program it runs are not, so
// an untrusted tool cannot flood the host's audit log.

#ifndef __NR_landlock_create_ruleset
#define __NR_landlock_create_ruleset 444
#endif
#ifndef __NR_landlock_add_rule
#define __NR_landlock_add_rule 445
#endif
#ifndef __NR_landlock_restrict_self
#define __NR_landlock_restrict_self 446
#endif
