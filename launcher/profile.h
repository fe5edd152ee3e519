// The sandbox profile as the launcher understands it: the forms that
// filesystem.cpp generates for Linux and nothing else. Whatever the reader
// does not know is refused rather than ignored, because an ignored rule of a
// deny-by-default profile could only have been meant to restrict something.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "failure.h"

namespace quellar::sandbox {

// What a rule grants on a path; Landlock rights are derived from these.
enum PathAccess : unsigned {
  kAccessRead = 1u << 0,     // file-read*: read files, list directories
  kAccessExecute = 1u << 1,  // file-map-executable: execute and map as code
  kAccessWrite = 1u << 2,    // file-write*: write, create, remove, rename
};

struct PathRule {
  std::string path;  // absolute, as written in the profile
  bool beneath;      // (subpath ...): the whole hierarchy; (literal ...): this file only
  unsigned access;   // PathAccess bits, never 0
  // A rule of the fixed base profile, naming a system path (/lib64, /bin on
  // a merged /usr, /etc/localtime) whose symbolic links are the system's own.
  // Every other rule is a caller's grant, which names its path literally:
  // opened without following any symbolic link, so that a link planted by
  // an earlier run cannot redirect it.
  bool system = false;

  friend bool operator==(const PathRule&, const PathRule&) = default;
};

struct SandboxProfile {
  std::vector<PathRule> rules;  // in profile order
  // Unrestricted network: both unfiltered network-outbound and
  // network-inbound were allowed. Otherwise only Unix-domain sockets.
  bool network = false;
};

Result<SandboxProfile> parse_profile(std::string_view text);

}  // namespace quellar::sandbox
