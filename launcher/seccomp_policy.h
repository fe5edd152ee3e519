// Loading the system-call filter (its rules: seccomp_rules.cpp) into the
// launcher's last process, where it stays for the program and everything it
// starts.
#pragma once

#include "failure.h"

namespace quellar::sandbox {

struct FilterOptions {
  bool network = false;       // false: only Unix-domain sockets can be created
  bool ipc_isolated = false;  // the program has an IPC namespace of its own
};

// Hands the kernel the filter compiled for these options when the launcher
// was built. no_new_privs must already be set.
Result<void> install_seccomp(const FilterOptions& options);

}  // namespace quellar::sandbox
