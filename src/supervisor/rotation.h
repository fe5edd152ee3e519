// Looking at several sources in a random rotation, so that when several
// have something at once, none always comes first.
#pragma once

#include <cstddef>
#include <optional>
#include <random>

namespace quellar {

// A cheap per-thread source for the random rotation; its quality does not
// matter, only that no source is always first.
inline unsigned random_rotation(unsigned n) {
  thread_local std::minstd_rand engine{std::random_device{}()};
  return static_cast<unsigned>(engine() % n);
}

// Calls `ready(source)` for the sources in a random rotation until one says
// it decided (returns true); that source, or nothing.
template <std::size_t N, class Ready>
std::optional<std::size_t> poll_in_rotation(Ready&& ready) {
  const unsigned rotation = random_rotation(N);
  for (unsigned k = 0; k < N; ++k) {
    const std::size_t source = (rotation + k) % N;
    if (ready(source)) return source;
  }
  return std::nullopt;
}

}  // namespace quellar
