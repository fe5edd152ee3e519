// Byte-string helpers shared by the core: paths are bytes, shown as text.
#pragma once

#include <string>
#include <string_view>

namespace quellar {

bool is_valid_utf8(std::string_view bytes);

// The bytes as UTF-8 text for display: every invalid sequence becomes U+FFFD.
std::string display_path(std::string_view bytes);

inline bool contains_nul(std::string_view bytes) {
  return bytes.find('\0') != std::string_view::npos;
}

}  // namespace quellar
