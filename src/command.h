// The command being built for a future child: everything the spawn step needs,
// as plain owned data, prepared before any process exists.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quellar {

// Paths and byte strings are the host's bytes, never re-encoded.
using Path = std::string;
using Bytes = std::string;

struct Command {
  Path program;
  // The name the program is called by (its argv[0]), when it is not
  // `program`: the caller named a symbolic link, and what runs is the
  // resolved file. CPython finds its virtual environment, and multi-call
  // binaries their personality, from this name. Kept for the wrapped
  // program when the command is wrapped for the sandbox launcher.
  std::optional<std::string> program_arg0;
  std::vector<std::string> args;  // argv[1..]
  // The child's whole environment. Children never inherit the caller's
  // environment: what is not in this map is not set in the child.
  std::map<std::string, std::string> environment;
  std::optional<Path> cwd;  // used as given, not resolved
  // Set by wrap_command: the program is the sandbox launcher, which reports
  // its own set-up failures on a status pipe (Linux) before running anything.
  bool sandboxed = false;

  explicit Command(Path program_path = {}) : program(std::move(program_path)) {}
};

}  // namespace quellar
