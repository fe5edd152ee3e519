#include "io_error.h"

#include <cstring>

#include <asio/error.hpp>

namespace quellar {

IoError IoError::invalid_input(std::string message) {
  return IoError(IoErrorKind::InvalidInput, 0, std::move(message));
}

IoError IoError::unsupported(std::string message) {
  return IoError(IoErrorKind::Unsupported, 0, std::move(message));
}

IoError IoError::other(std::string message) {
  return IoError(IoErrorKind::Other, 0, std::move(message));
}

IoError IoError::from_errno(int error_number) {
  char buf[128];
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  // The GNU flavour may return a static string instead of filling buf.
  const char* text = strerror_r(error_number, buf, sizeof buf);
#else
  const char* text = strerror_r(error_number, buf, sizeof buf) == 0 ? buf : "unknown error";
#endif
  return IoError(IoErrorKind::Os, error_number, text);
}

IoError IoError::from_errno(int error_number, std::string_view context) {
  IoError error = from_errno(error_number);
  error.message_ = std::string(context) + ": " + error.message_;
  return error;
}

std::string IoError::describe() const {
  if (kind_ != IoErrorKind::Os) return message_;
  return message_ + " (os error " + std::to_string(os_error_) + ")";
}

IoError io_error_from(const std::error_code& ec) {
  // Asio reports system errors through a category of its own.
  if (ec.category() == std::system_category() || ec.category() == asio::system_category()) {
    return IoError::from_errno(ec.value());
  }
  return IoError::other(ec.message());
}

}  // namespace quellar
