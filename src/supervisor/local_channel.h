// A bounded channel for tasks that all run on one single-threaded executor
// (the tasks of one child). Sends wait for room, receives wait for a value,
// and either wait can be cancelled through its cancellation slot: a
// cancelled receive takes nothing, a cancelled send puts nothing.
// Completions always run later on the executor, never inside the call that
// caused them.
//
// Asio 1.22's experimental channel is not used for this: after a cancelled
// receive it never again completes a send (the value is delivered, the
// sender's handler never runs), which would strand every task that sends
// after a race was lost by a receive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

#include <asio/any_io_executor.hpp>
#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/error.hpp>
#include <asio/post.hpp>

#include "../unique_function.h"

namespace quellar {

template <class T>
class LocalChannel {
 public:
  LocalChannel(asio::any_io_executor executor, std::size_t capacity)
      : state_(std::make_shared<State>(std::move(executor), capacity)) {}

  LocalChannel(const LocalChannel&) = delete;
  LocalChannel& operator=(const LocalChannel&) = delete;
  ~LocalChannel() { state_->close(); }

  // Completes with success once the value is queued or taken, or with
  // broken_pipe once the channel is closed.
  template <class CompletionToken>
  auto async_send(T value, CompletionToken&& token) {
    return asio::async_initiate<CompletionToken, void(std::error_code)>(
        [](auto handler, std::shared_ptr<State> state, T value) {
          auto slot = asio::get_associated_cancellation_slot(handler);
          state->send(std::move(value), completion<std::error_code>(std::move(handler), *state),
                      slot);
        },
        token, state_, std::move(value));
  }

  // Completes with the next value, or with eof once the channel is closed
  // and empty.
  template <class CompletionToken>
  auto async_receive(CompletionToken&& token) {
    return asio::async_initiate<CompletionToken, void(std::error_code, T)>(
        [](auto handler, std::shared_ptr<State> state) {
          auto slot = asio::get_associated_cancellation_slot(handler);
          state->receive(completion<std::error_code, T>(std::move(handler), *state), slot);
        },
        token, state_);
  }

  // The next value if one is there, without waiting.
  std::optional<T> try_receive() { return state_->take(); }

  // Queues the value (moving from it) if there is room, without waiting.
  bool try_send(T& value) { return state_->put(value); }

  // Waiting and later sends fail; a waiting receive fails once nothing is left.
  void close() { state_->close(); }

 private:
  using SendDone = UniqueFunction<void(std::error_code)>;
  using ReceiveDone = UniqueFunction<void(std::error_code, T)>;

  struct State;

  // A handler as a type-erased completion that posts it to its own executor
  // (or the channel's).
  template <class... Args, class Handler>
  static UniqueFunction<void(Args...)> completion(Handler handler, const State& state) {
    auto target = asio::get_associated_executor(handler, state.executor);
    return [h = std::move(handler), target](Args... args) mutable {
      asio::post(target, [h = std::move(h), ... args = std::move(args)]() mutable {
        std::move(h)(std::move(args)...);
      });
    };
  }

  struct State : std::enable_shared_from_this<State> {
    State(asio::any_io_executor e, std::size_t c) : executor(std::move(e)), capacity(c) {}

    struct Waiting {
      std::uint64_t id;
      SendDone done;
      T value;
    };

    // Moves the first waiting sender's value into the buffer, if any.
    void admit_sender() {
      if (senders.empty()) return;
      Waiting sender = std::move(senders.front());
      senders.pop_front();
      buffer.push_back(std::move(sender.value));
      sender.done(std::error_code{});
    }

    std::optional<T> take() {
      if (buffer.empty()) admit_sender();  // a channel without room hands over directly
      if (buffer.empty()) return std::nullopt;
      T value = std::move(buffer.front());
      buffer.pop_front();
      admit_sender();
      return value;
    }

    bool put(T& value) {
      if (closed) return false;
      if (receiver) {
        ReceiveDone done = std::move(receiver->second);
        receiver.reset();
        done(std::error_code{}, std::move(value));
        return true;
      }
      if (buffer.size() >= capacity) return false;
      buffer.push_back(std::move(value));
      return true;
    }

    void send(T value, SendDone done, asio::cancellation_slot slot) {
      if (closed) return done(std::error_code(asio::error::broken_pipe));
      if (put(value)) return done(std::error_code{});
      const std::uint64_t id = next_id++;
      senders.push_back(Waiting{id, std::move(done), std::move(value)});
      if (!slot.is_connected()) return;
      slot.assign([weak = this->weak_from_this(), id](asio::cancellation_type) {
        auto state = weak.lock();
        if (!state) return;
        for (auto it = state->senders.begin(); it != state->senders.end(); ++it) {
          if (it->id != id) continue;
          SendDone cancelled = std::move(it->done);
          state->senders.erase(it);
          cancelled(std::error_code(asio::error::operation_aborted));
          return;
        }
      });
    }

    void receive(ReceiveDone done, asio::cancellation_slot slot) {
      if (auto value = take()) return done(std::error_code{}, std::move(*value));
      if (closed) return done(std::error_code(asio::error::eof), T{});
      const std::uint64_t id = next_id++;
      receiver.emplace(id, std::move(done));
      if (!slot.is_connected()) return;
      slot.assign([weak = this->weak_from_this(), id](asio::cancellation_type) {
        auto state = weak.lock();
        if (!state || !state->receiver || state->receiver->first != id) return;
        ReceiveDone cancelled = std::move(state->receiver->second);
        state->receiver.reset();
        cancelled(std::error_code(asio::error::operation_aborted), T{});
      });
    }

    void close() {
      if (closed) return;
      closed = true;
      while (!senders.empty()) {
        Waiting sender = std::move(senders.front());
        senders.pop_front();
        sender.done(std::error_code(asio::error::broken_pipe));
      }
      if (receiver && buffer.empty()) {
        ReceiveDone done = std::move(receiver->second);
        receiver.reset();
        done(std::error_code(asio::error::eof), T{});
      }
    }

    asio::any_io_executor executor;
    std::size_t capacity;
    bool closed = false;
    std::deque<T> buffer;
    std::deque<Waiting> senders;
    std::optional<std::pair<std::uint64_t, ReceiveDone>> receiver;
    std::uint64_t next_id = 1;
  };

  std::shared_ptr<State> state_;
};

}  // namespace quellar
