// The one small operating-system style error of the core: a kind plus a
// message. Lower layers (filesystem profile, process container, platform
// spawning, pipes) report it; the supervisor wraps it as the source of a
// SandboxError. It never reaches Python.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace quellar {

enum class IoErrorKind : std::uint8_t {
  InvalidInput,
  Unsupported,
  Other,
  Os,  // carries an errno value
};

class IoError {
 public:
  static IoError invalid_input(std::string message);
  static IoError unsupported(std::string message);
  static IoError other(std::string message);
  // An operating-system error; the message is the system's text for it.
  static IoError from_errno(int error_number);
  // An operating-system error met while doing `context`: "context: <text>".
  static IoError from_errno(int error_number, std::string_view context);

  IoErrorKind kind() const noexcept { return kind_; }
  // The errno for kind Os, 0 otherwise.
  int os_error() const noexcept { return os_error_; }
  const std::string& message() const noexcept { return message_; }
  // "message (os error N)" for OS errors, the message otherwise.
  std::string describe() const;

  // The one path at fault, when there is one (a working directory that does
  // not exist, a grant that passes through a symbolic link), as subprocess
  // reports it in OSError.filename.
  const std::optional<std::string>& path() const noexcept { return path_; }
  IoError with_path(std::string path) && {
    path_ = std::move(path);
    return std::move(*this);
  }
  // Which step of the sandbox launcher failed ("profile", "enforce",
  // "exec", ...), when the launcher reported the error.
  const std::optional<std::string>& stage() const noexcept { return stage_; }
  IoError with_stage(std::string stage) && {
    stage_ = std::move(stage);
    return std::move(*this);
  }

  friend bool operator==(const IoError&, const IoError&) = default;

 private:
  IoError(IoErrorKind kind, int os_error, std::string message)
      : kind_(kind), os_error_(os_error), message_(std::move(message)) {}

  IoErrorKind kind_;
  int os_error_;
  std::string message_;
  std::optional<std::string> path_;
  std::optional<std::string> stage_;
};

// The IoError for an error code from an asynchronous operation.
IoError io_error_from(const std::error_code& ec);

// The message every layer uses for a NUL byte inside data that must become a
// C string (argv, environment, working directory).
inline constexpr std::string_view kNulByteMessage = "nul byte found in provided data";
// The message for a NUL byte inside a path that is resolved on the file system.
inline constexpr std::string_view kNulInPathMessage = "file name contained an unexpected NUL byte";

}  // namespace quellar
