// Command, the immutable description of one command to run, and the request
// the core receives for it.
#pragma once

#include "ref.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "policy.h"

namespace quellar::py {

struct CommandData {
  std::vector<std::string> argv;  // at least one element, the first non-empty
  std::optional<Path> cwd;
  std::map<std::string, std::string> env;
  std::set<std::string> inherit_env;
  std::uint64_t timeout_ms = 5000;
  std::uint64_t max_stdin_bytes = 65536;
  std::uint64_t max_stdout_bytes = 65536;
  std::uint64_t max_stderr_bytes = 16384;
};

// The class, for the module's execution step; null with an exception set.
PyObject* create_command_type(PyObject* module);

const CommandData& command_data(PyObject* command);

// Everything copied: the run no longer depends on the Python objects.
// `policy` null means the default policy.
ExecutionRequest request_from(const CommandData& command, const SandboxPolicy* policy);

// ceil(seconds * 1000), saturating; std::nullopt unless `seconds` is a finite
// positive number whose milliseconds do not exceed 2^64.
std::optional<std::uint64_t> timeout_ms_from_seconds(double seconds) noexcept;

}  // namespace quellar::py
