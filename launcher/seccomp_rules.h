// The system-call filter as rules: a few on top of Landlock and the
// namespaces, for what they do not see. Compiled to BPF when the launcher is
// built (seccomp_generator.cpp): building a filter with libseccomp costs more
// than everything else the launcher does, and the launcher then needs no
// library at all.
#pragma once

#include <linux/filter.h>

#include <vector>

#include "seccomp_policy.h"

namespace quellar::sandbox {

// The filter's BPF program for the build machine's architecture.
Result<std::vector<sock_filter>> compile_filter(const FilterOptions& options);

}  // namespace quellar::sandbox
