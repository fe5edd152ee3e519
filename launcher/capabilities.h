// Dropping every capability before the program runs.
#pragma once

#include "failure.h"

namespace quellar::sandbox {

// When this process holds any capability (it runs as root, or was given
// some), empties the bounding, ambient, effective, permitted and inheritable
// sets, so that a contained root process cannot reboot, load modules, mount,
// change the network, bypass file permissions or regain any of that by
// executing something. Does nothing for an unprivileged process.
Result<void> drop_all_capabilities();

}  // namespace quellar::sandbox
