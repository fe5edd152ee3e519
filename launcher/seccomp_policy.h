// The system-call filter: a few rules on top of Landlock and the namespaces,
// for what they do not see.
#pragma once

#include "failure.h"

namespace quellar::sandbox {

struct FilterOptions {
  bool network = false;       // false: only Unix-domain sockets can be created
  bool ipc_isolated = false;  // the program has an IPC namespace of its own
};

// Loads the filter into this process; it survives execve.
Result<void> install_seccomp(const FilterOptions& options);

}  // namespace quellar::sandbox
