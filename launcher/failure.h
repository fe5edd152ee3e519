// Every way the launcher can refuse to run the program, as a value: which
// stage failed, the OS error if there is one, and a line for a human.
#pragma once

#include <expected>
#include <string>

#include "platform/launcher_protocol.h"

namespace quellar::sandbox {

struct Failure {
  launcher::Stage stage;
  int error;            // errno, 0 when the failure is not an OS error
  std::string message;  // without the "quellar-sandbox: " prefix
};

template <class T = void>
using Result = std::expected<T, Failure>;

inline std::unexpected<Failure> usage_error(std::string message) {
  return std::unexpected(Failure{launcher::Stage::Usage, 0, std::move(message)});
}

inline std::unexpected<Failure> profile_error(std::string message) {
  return std::unexpected(Failure{launcher::Stage::Profile, 0, "profile refused: " + std::move(message)});
}

// `what` names the step, the OS text for `error` is appended when reported.
inline std::unexpected<Failure> enforce_error(std::string what, int error) {
  return std::unexpected(Failure{launcher::Stage::Enforce, error, std::move(what)});
}

}  // namespace quellar::sandbox
