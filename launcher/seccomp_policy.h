// The system-call filter: a few rules on top of Landlock, for what Landlock
// does not see.
#pragma once

#include "failure.h"

namespace quellar::sandbox {

// Loads the filter into this process; it survives execve. With `network`
// false, only Unix-domain sockets can be created.
Result<void> install_seccomp(bool network);

}  // namespace quellar::sandbox
