// Every way the launcher can refuse to run the program, as a value: which
// stage failed, the OS error if there is one, the path at fault if one is,
// and a line for a human.
#pragma once

#include <expected>
#include <string>

#include "platform/launcher_protocol.h"

namespace quellar::sandbox {

struct Failure {
  launcher::Stage stage;
  int error;            // errno, 0 when the failure is not an OS error
  std::string message;  // without the "quellar-sandbox: " prefix
  std::string path = {};  // the one path at fault, when there is one
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

inline Failure start_failure(std::string what, int error) {
  return Failure{launcher::Stage::Start, error, std::move(what)};
}

inline std::unexpected<Failure> start_error(std::string what, int error) {
  return std::unexpected(start_failure(std::move(what), error));
}

}  // namespace quellar::sandbox
