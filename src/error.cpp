#include "error.h"

#include <array>

namespace quellar {
namespace {

struct KindRow {
  std::string_view code;
  std::string_view message;
  SandboxPhase phase;
};

// One row per kind, in kind order. The two reserved kinds have a code but no
// producer, so their message stays empty.
constexpr std::array<KindRow, kSandboxErrorKindCount> kKinds = {{
    {"input_too_large", "execution input exceeds the configured limit", SandboxPhase::Validate},
    {"output_too_large", "execution output exceeds the configured limit", SandboxPhase::Stdout},
    {"stderr_too_large", "execution stderr exceeds the configured limit", SandboxPhase::Stderr},
    {"relative_executable", "the executable path must be absolute", SandboxPhase::Validate},
    {"relative_working_directory", "the working directory path must be absolute",
     SandboxPhase::Validate},
    {"invalid_working_directory", "the working directory could not be resolved",
     SandboxPhase::Validate},
    {"working_directory_not_granted", "the working directory is outside the filesystem grants",
     SandboxPhase::Validate},
    {"invalid_executable", "the executable could not be resolved", SandboxPhase::Validate},
    {"relative_search_path", "an executable search path must be absolute",
     SandboxPhase::Validate},
    {"invalid_search_path", "the executable search path cannot be represented",
     SandboxPhase::Validate},
    {"invalid_environment_name", "an environment variable name is invalid",
     SandboxPhase::Validate},
    {"forbidden_environment_variable",
     "the environment variable is forbidden in a sandboxed process", SandboxPhase::Validate},
    {"sandbox_enforcement_unavailable", "the requested OS sandbox enforcement is unavailable",
     SandboxPhase::Validate},
    {"spawn_failed", "failed to spawn the sandboxed process", SandboxPhase::Spawn},
    {"stdin_failed", "failed to write sandboxed process input", SandboxPhase::Stdin},
    {"execution_failed", "sandboxed process execution failed", SandboxPhase::Wait},
    {"stdout_read_failed", "failed to read sandboxed process stdout", SandboxPhase::Stdout},
    {"stderr_read_failed", "failed to read sandboxed process stderr", SandboxPhase::Stderr},
    {"timed_out", "", SandboxPhase::Wait},
    {"unsupported", "", SandboxPhase::Validate},
}};

constexpr std::array<std::string_view, 7> kPhaseNames = {
    "Validate", "Spawn", "Stdin", "Stdout", "Stderr", "Wait", "Shutdown"};

const KindRow& row(SandboxErrorKind kind) {
  return kKinds[static_cast<std::size_t>(kind) % kSandboxErrorKindCount];
}

}  // namespace

std::string_view phase_name(SandboxPhase phase) {
  return kPhaseNames[static_cast<std::size_t>(phase) % kPhaseNames.size()];
}

std::string_view error_code(SandboxErrorKind kind) { return row(kind).code; }

SandboxError SandboxError::of(SandboxErrorKind kind) { return SandboxError(kind); }

SandboxError SandboxError::of(SandboxErrorKind kind, IoError source) {
  SandboxError error(kind);
  error.source_ = std::move(source);
  return error;
}

SandboxError SandboxError::spawn(IoError source) {
  return of(SandboxErrorKind::SpawnFailed, std::move(source));
}
SandboxError SandboxError::stdin(IoError source) {
  return of(SandboxErrorKind::StdinFailed, std::move(source));
}
SandboxError SandboxError::execution(IoError source) {
  return of(SandboxErrorKind::ExecutionFailed, std::move(source));
}
SandboxError SandboxError::stdout_read(IoError source) {
  return of(SandboxErrorKind::StdoutReadFailed, std::move(source));
}
SandboxError SandboxError::stderr_read(IoError source) {
  return of(SandboxErrorKind::StderrReadFailed, std::move(source));
}
SandboxError SandboxError::output_too_large() { return of(SandboxErrorKind::OutputTooLarge); }
SandboxError SandboxError::stderr_too_large() { return of(SandboxErrorKind::StderrTooLarge); }
SandboxError SandboxError::enforcement_unavailable() {
  return of(SandboxErrorKind::SandboxEnforcementUnavailable);
}

SandboxError::SandboxError(const SandboxError& other)
    : kind_(other.kind_),
      executable_(other.executable_ ? std::make_unique<ExecutableIdentity>(*other.executable_)
                                    : nullptr),
      termination_(other.termination_),
      stderr_tail_(other.stderr_tail_),
      source_(other.source_) {}

SandboxError& SandboxError::operator=(const SandboxError& other) {
  if (this != &other) *this = SandboxError(other);
  return *this;
}

SandboxError SandboxError::with_executable(ExecutableIdentity identity) && {
  executable_ = std::make_unique<ExecutableIdentity>(std::move(identity));
  return std::move(*this);
}

SandboxError SandboxError::with_termination(Termination termination) && {
  termination_ = std::move(termination);
  return std::move(*this);
}

SandboxError SandboxError::with_stderr_tail(std::string tail) && {
  stderr_tail_ = std::move(tail);
  return std::move(*this);
}

std::string_view SandboxError::code() const noexcept { return row(kind_).code; }
std::string_view SandboxError::message() const noexcept { return row(kind_).message; }
SandboxPhase SandboxError::phase() const noexcept { return row(kind_).phase; }

std::string SandboxError::describe() const {
  std::string text(code());
  text += ": ";
  text += message();
  if (source_) {
    text += " (";
    text += source_->describe();
    text += ")";
  }
  return text;
}

}  // namespace quellar
