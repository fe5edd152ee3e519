// The one error record of the core. Every fallible core operation returns
// std::expected<T, SandboxError>; nothing in the core throws. The code, the
// phase and the fixed message are a stable public vocabulary (Python callers
// branch on them), so they live in one static table indexed by the kind.
#pragma once

#include <cstdint>
// stdio may define stdin as a macro (macOS); including it here makes every
// user of this header see the same name for SandboxError::stdin.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "io_error.h"
#include "policy.h"

namespace quellar {

enum class SandboxErrorKind : std::uint8_t {
  InputTooLarge = 0,
  OutputTooLarge = 1,
  StderrTooLarge = 2,
  RelativeExecutable = 3,
  RelativeWorkingDirectory = 4,
  InvalidWorkingDirectory = 5,
  WorkingDirectoryNotGranted = 6,
  InvalidExecutable = 7,
  RelativeSearchPath = 8,
  InvalidSearchPath = 9,
  InvalidEnvironmentName = 10,
  ForbiddenEnvironmentVariable = 11,
  SandboxEnforcementUnavailable = 12,
  SpawnFailed = 13,
  StdinFailed = 14,
  ExecutionFailed = 15,
  StdoutReadFailed = 16,
  StderrReadFailed = 17,
  TimedOut = 18,     // reserved: a timeout is a Termination, never an error
  Unsupported = 19,  // reserved: nothing reports it
};

inline constexpr std::size_t kSandboxErrorKindCount = 20;

enum class SandboxPhase : std::uint8_t {
  Validate = 0,
  Spawn = 1,
  Stdin = 2,
  Stdout = 3,
  Stderr = 4,
  Wait = 5,
  Shutdown = 6,  // reserved
};

// "Validate", "Spawn", ... (the variant name; Python shows it lower-cased).
std::string_view phase_name(SandboxPhase phase);

class SandboxError {
 public:
  // An error of a kind built in place by the validating code (kinds 0 and 3
  // to 11), or any kind without context.
  static SandboxError of(SandboxErrorKind kind);
  static SandboxError of(SandboxErrorKind kind, IoError source);

  static SandboxError spawn(IoError source);
  static SandboxError stdin(IoError source);
  static SandboxError execution(IoError source);
  static SandboxError stdout_read(IoError source);
  static SandboxError stderr_read(IoError source);
  static SandboxError output_too_large();
  static SandboxError stderr_too_large();
  static SandboxError enforcement_unavailable();

  SandboxError(const SandboxError& other);
  SandboxError& operator=(const SandboxError& other);
  SandboxError(SandboxError&&) noexcept = default;
  SandboxError& operator=(SandboxError&&) noexcept = default;
  ~SandboxError() = default;

  // Attaches the executable, replacing any identity attached before.
  SandboxError with_executable(ExecutableIdentity identity) &&;
  SandboxError with_termination(Termination termination) &&;
  SandboxError with_stderr_tail(std::string tail) &&;

  SandboxErrorKind kind() const noexcept { return kind_; }
  std::string_view code() const noexcept;
  std::string_view message() const noexcept;
  SandboxPhase phase() const noexcept;
  bool retryable() const noexcept { return false; }
  const ExecutableIdentity* executable() const noexcept { return executable_.get(); }
  const std::optional<Termination>& termination() const noexcept { return termination_; }
  const std::optional<std::string>& stderr_tail() const noexcept { return stderr_tail_; }
  const std::optional<IoError>& source() const noexcept { return source_; }

  // "code: message", with the source's description when there is one.
  std::string describe() const;

 private:
  explicit SandboxError(SandboxErrorKind kind) : kind_(kind) {}

  SandboxErrorKind kind_;
  std::unique_ptr<ExecutableIdentity> executable_;
  std::optional<Termination> termination_;
  std::optional<std::string> stderr_tail_;
  std::optional<IoError> source_;
};

// The code of a kind, from the same static table as SandboxError::code().
std::string_view error_code(SandboxErrorKind kind);

}  // namespace quellar
