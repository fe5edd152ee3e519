// Which Landlock rights a ruleset handles for a kernel ABI, and which rights a
// profile rule grants. Pure functions, separate from the system calls so that
// they can be checked for every ABI on any kernel.
#pragma once

#include <cstdint>

namespace quellar::sandbox {

struct HandledRights {
  std::uint64_t fs = 0;
  std::uint64_t net = 0;
  std::uint64_t scoped = 0;
};

// Everything the ABI can restrict on files, plus signal scoping, plus, when
// the network is disabled, TCP bind/connect and abstract Unix sockets.
HandledRights handled_rights(int abi, bool network);

// The rights for a rule's PathAccess bits, masked by what the ruleset
// handles. A rule on anything but a directory keeps only the rights that
// apply to a file (the kernel refuses the others).
std::uint64_t rule_rights(unsigned access, std::uint64_t handled_fs, bool directory);

// The rights that make sense on a single file.
std::uint64_t file_rights();

}  // namespace quellar::sandbox
