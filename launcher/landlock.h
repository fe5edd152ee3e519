// Applying a profile's path rules and scoping with Landlock.
#pragma once

#include <expected>

#include "failure.h"
#include "profile.h"

namespace quellar::sandbox {

// The kernel's Landlock ABI version, or the errno saying why there is none
// (ENOSYS: kernel too old; EOPNOTSUPP: disabled at boot).
std::expected<int, int> landlock_abi();

// Builds a ruleset handling everything the ABI knows, adds one rule per
// profile rule whose path exists, and restricts this process (and what it
// executes) with it. no_new_privs must already be set.
Result<void> apply_landlock(const SandboxProfile& profile, int abi);

}  // namespace quellar::sandbox
