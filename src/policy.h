// The plain records that flow through the core: what to run, under which
// containment, which executable was resolved, and how a process ended.
// Every record owns its data; records crossing tasks are moved or copied.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "byte_buffer.h"
#include "command.h"
#include "filesystem.h"

namespace quellar {

enum class NetworkPolicy : std::uint8_t { Host = 0, Disabled = 1 };
enum class EnforcementMode : std::uint8_t { BestEffort = 0, Required = 1 };

struct SandboxPolicy {
  NetworkPolicy network = NetworkPolicy::Host;
  EnforcementMode enforcement = EnforcementMode::BestEffort;
  std::optional<FilesystemPolicy> filesystem;  // absent: no filesystem isolation

  friend bool operator==(const SandboxPolicy&, const SandboxPolicy&) = default;
};

struct EnvironmentPolicy {
  std::set<std::string> inherited_names;          // copied from the caller's environment
  std::map<std::string, std::string> variables;   // set explicitly, override inherited ones
  std::vector<Path> search_path;                  // non-empty: becomes PATH
  // The values of inherited_names that the caller's environment held when the
  // request was made (read_inherited_environment, on the requesting thread).
  std::map<std::string, std::string> inherited_values;

  friend bool operator==(const EnvironmentPolicy&, const EnvironmentPolicy&) = default;
};

// Kernel resource limits. This backend can apply none of them; a request
// carrying any is refused at spawn.
struct ResourceLimits {
  std::optional<std::uint64_t> memory_limit;
  std::optional<std::uint64_t> cpu_limit;
  std::optional<std::uint32_t> process_limit;

  bool any() const { return memory_limit || cpu_limit || process_limit; }
  friend bool operator==(const ResourceLimits&, const ResourceLimits&) = default;
};

struct ExecutionRequest {
  Path executable;                 // argv[0] as given; must be absolute
  std::vector<std::string> args;   // argv[1..]
  std::optional<Path> cwd;         // absent: the caller's current directory
  EnvironmentPolicy environment;
  SandboxPolicy policy;
  std::uint64_t timeout_ms = 5000;
  std::uint64_t max_stdin_bytes = 65536;
  std::uint64_t max_stdout_bytes = 65536;
  std::uint64_t max_stderr_bytes = 16384;
  ResourceLimits resource_limits;
};

struct ExecutableIdentity {
  Path requested;                 // the request's executable, unchanged
  std::optional<Path> canonical;  // absolute, symlink-free: what is executed

  friend bool operator==(const ExecutableIdentity&, const ExecutableIdentity&) = default;
};

// Exit details from a wait status: exactly one is present, except for a
// stopped-process status, which carries neither.
struct ProcessExit {
  std::optional<std::int32_t> code;
  std::optional<std::int32_t> signal;

  friend bool operator==(const ProcessExit&, const ProcessExit&) = default;
};

namespace termination {
struct Exited {
  ProcessExit exit;
  friend bool operator==(const Exited&, const Exited&) = default;
};
struct TimedOut {
  friend bool operator==(const TimedOut&, const TimedOut&) = default;
};
struct Cancelled {
  friend bool operator==(const Cancelled&, const Cancelled&) = default;
};
struct StdoutLimitExceeded {
  friend bool operator==(const StdoutLimitExceeded&, const StdoutLimitExceeded&) = default;
};
struct StderrLimitExceeded {
  friend bool operator==(const StderrLimitExceeded&, const StderrLimitExceeded&) = default;
};
}  // namespace termination

// How a supervised process ended; the alternatives keep this order.
using Termination = std::variant<termination::Exited, termination::TimedOut,
                                 termination::Cancelled, termination::StdoutLimitExceeded,
                                 termination::StderrLimitExceeded>;

// "exited", "timed_out", "cancelled", "stdout_limit_exceeded", "stderr_limit_exceeded".
std::string_view termination_name(const Termination& termination);

enum class EnforcementLevel : std::uint8_t {
  Enforced = 0,
  Degraded = 1,
  Unavailable = 2,
  Trusted = 3,
};

// "enforced", "degraded", "unavailable", "trusted".
std::string_view enforcement_name(EnforcementLevel level);

using WallTime = std::chrono::system_clock::time_point;

struct ProcessReceipt {
  ExecutableIdentity executable;
  Termination termination;
  WallTime started_at;
  WallTime finished_at;
  EnforcementLevel enforcement = EnforcementLevel::Degraded;
};

struct ExecutionOutput {
  ByteBuffer stdout_bytes;
  ByteBuffer stderr_bytes;
  ExecutableIdentity executable;
  Termination termination;
  bool success = false;
  EnforcementLevel enforcement = EnforcementLevel::Degraded;
};

namespace lifecycle {
struct Started {
  std::uint32_t pid;
  ExecutableIdentity executable;
};
struct Exited {
  std::uint32_t pid;
  Termination termination;
};
}  // namespace lifecycle

using LifecycleEvent = std::variant<lifecycle::Started, lifecycle::Exited>;

}  // namespace quellar
