#include "text.h"

#include <cstdint>

namespace quellar {
namespace {

struct Lead {
  std::size_t length;     // bytes in the whole sequence, 0 for an invalid lead
  unsigned second_lo;     // allowed range of the first continuation byte
  unsigned second_hi;
};

// The Unicode table of well-formed UTF-8: no overlongs, no surrogates,
// nothing above U+10FFFF.
Lead classify(unsigned b0) {
  if (b0 < 0x80) return {1, 0, 0};
  if (b0 >= 0xC2 && b0 <= 0xDF) return {2, 0x80, 0xBF};
  if (b0 == 0xE0) return {3, 0xA0, 0xBF};
  if (b0 == 0xED) return {3, 0x80, 0x9F};
  if (b0 >= 0xE1 && b0 <= 0xEF) return {3, 0x80, 0xBF};
  if (b0 == 0xF0) return {4, 0x90, 0xBF};
  if (b0 >= 0xF1 && b0 <= 0xF3) return {4, 0x80, 0xBF};
  if (b0 == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

// Number of bytes at `i` that form a valid sequence (returned as {n, true}),
// or the maximal prefix of one that is broken (returned as {n, false}), so
// that one broken sequence is replaced by one U+FFFD, as Python does.
std::pair<std::size_t, bool> scan(std::string_view bytes, std::size_t i) {
  Lead lead = classify(static_cast<std::uint8_t>(bytes[i]));
  if (lead.length == 0) return {1, false};
  std::size_t n = 1;
  while (n < lead.length && i + n < bytes.size()) {
    unsigned b = static_cast<std::uint8_t>(bytes[i + n]);
    unsigned lo = n == 1 ? lead.second_lo : 0x80;
    unsigned hi = n == 1 ? lead.second_hi : 0xBF;
    if (b < lo || b > hi) break;
    ++n;
  }
  return {n, n == lead.length};
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    auto [n, valid] = scan(bytes, i);
    if (!valid) return false;
    i += n;
  }
  return true;
}

std::string display_path(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    auto [n, valid] = scan(bytes, i);
    if (valid) {
      out.append(bytes.substr(i, n));
    } else {
      out.append("\xEF\xBF\xBD");
    }
    i += n;
  }
  return out;
}

}  // namespace quellar
