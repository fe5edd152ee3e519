// An unbiased wait for the first of several asynchronous branches, that loses
// nothing: every branch's result is handed back, including a branch that
// completed with data although another one won.
//
// Before waiting, the branches are polled once in a random rotation
// (poll_in_rotation): when one is ready already, it decides at once, exactly
// as if all had been waited on, without starting any asynchronous operation.
//
// Branches are started by `start(branch, handler)`, where `handler` takes
// one Result (a struct with `bool disabled`); they are initiated in a random
// rotation so that, when several are ready at once, none is always first. A
// disabled branch completes at once with disabled set and is ignored.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <random>
#include <tuple>
#include <utility>

#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/use_awaitable.hpp>

namespace quellar {

template <class Result, std::size_t N>
struct RaceOutcome {
  std::size_t winner;             // index of the branch that decided the race
  std::array<Result, N> results;  // by branch index
};

// A cheap per-thread source for the random rotation; its quality does not
// matter, only that no branch is always first.
inline unsigned random_rotation(unsigned n) {
  thread_local std::minstd_rand engine{std::random_device{}()};
  return static_cast<unsigned>(engine() % n);
}

// Calls `ready(branch)` for the branches in a random rotation until one says
// it decided (returns true); that branch, or nothing.
template <std::size_t N, class Ready>
std::optional<std::size_t> poll_in_rotation(Ready&& ready) {
  const unsigned rotation = random_rotation(N);
  for (unsigned k = 0; k < N; ++k) {
    const std::size_t branch = (rotation + k) % N;
    if (ready(branch)) return branch;
  }
  return std::nullopt;
}

namespace detail {

template <class Result, std::size_t N, class Start, std::size_t... Slot>
asio::awaitable<std::optional<RaceOutcome<Result, N>>> race(Start& start, unsigned rotation,
                                                            std::index_sequence<Slot...>) {
  auto branch_op = [&start, rotation](std::size_t slot) {
    const int branch = static_cast<int>((rotation + slot) % N);
    return [&start, branch](auto token) {
      return asio::async_initiate<decltype(token), void(Result)>(
          [&start](auto handler, int b) { start(b, std::move(handler)); }, token, branch);
    };
  };
  auto done = co_await asio::experimental::make_parallel_group(branch_op(Slot)...)
                  .async_wait(
                      [](const Result& r) {
                        return r.disabled ? asio::cancellation_type::none
                                          : asio::cancellation_type::all;
                      },
                      asio::use_awaitable);
  const auto& order = std::get<0>(done);
  std::array<Result, N> by_slot{std::move(std::get<Slot + 1>(done))...};
  RaceOutcome<Result, N> outcome{N, {}};
  for (std::size_t slot = 0; slot < N; ++slot) {
    outcome.results[(rotation + slot) % N] = std::move(by_slot[slot]);
  }
  for (std::size_t slot : order) {
    if (!outcome.results[(rotation + slot) % N].disabled) {
      outcome.winner = (rotation + slot) % N;
      break;
    }
  }
  // Every branch disabled: the caller's broken invariant, reported by it.
  if (outcome.winner == N) co_return std::nullopt;
  co_return outcome;
}

}  // namespace detail

template <std::size_t N, class Result, class Start>
asio::awaitable<std::optional<RaceOutcome<Result, N>>> race(Start start) {
  co_return co_await detail::race<Result, N>(start, random_rotation(N), std::make_index_sequence<N>());
}

}  // namespace quellar
