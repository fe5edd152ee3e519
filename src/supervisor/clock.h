// The monotonic clock of the supervisor and the one way a span becomes a
// deadline: a span the clock cannot represent from now on means no deadline
// (a timeout of 2^64 milliseconds never fires).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace quellar {

using Clock = std::chrono::steady_clock;

// now + span, or nothing when that is beyond the clock's range.
inline std::optional<Clock::time_point> deadline_after(std::chrono::nanoseconds span) {
  const auto now = Clock::now();
  if (span.count() < 0) span = std::chrono::nanoseconds(0);
  if (span >= Clock::time_point::max() - now) return std::nullopt;
  return now + std::chrono::duration_cast<Clock::duration>(span);
}

// The same for a request's whole milliseconds, as a timer's expiry
// (Clock::time_point::max() for no deadline).
inline Clock::time_point expiry_after_ms(std::uint64_t ms) {
  const auto max_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          Clock::time_point::max() - Clock::now())
                          .count();
  if (ms >= static_cast<std::uint64_t>(max_ms)) return Clock::time_point::max();
  return Clock::now() + std::chrono::milliseconds(ms);
}

}  // namespace quellar
