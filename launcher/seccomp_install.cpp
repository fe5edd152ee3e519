#include <linux/seccomp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <span>

#include "seccomp_filters.h"
#include "seccomp_policy.h"

namespace quellar::sandbox {

Result<void> install_seccomp(const FilterOptions& options) {
  using namespace filters;
  using Program = std::span<const sock_filter>;
  const Program program = options.network
                              ? (options.ipc_isolated ? Program(kNetworkOwnIpc) : Program(kNetworkSharedIpc))
                              : (options.ipc_isolated ? Program(kNoNetworkOwnIpc) : Program(kNoNetworkSharedIpc));
  sock_fprog fprog{static_cast<unsigned short>(program.size()), const_cast<sock_filter*>(program.data())};
  if (::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &fprog) != 0) return enforce_error("seccomp", errno);
  return {};
}

}  // namespace quellar::sandbox
