#include <utility>
#include <vector>

#include "stream.h"

namespace quellar {

StreamChannel::StreamChannel(CancellationToken stream_token)
    : stream_token_(std::move(stream_token)) {}

StreamItem StreamChannel::pop_locked() {
  StreamItem item = std::move(items_.front());
  items_.pop_front();
  if (item.kind == StreamItem::Kind::Exited && item.result) result_slot_ = *item.result;
  return item;
}

// Takes items for a collecting request until it is decided.
std::optional<Collected> StreamChannel::collect_locked(bool& decided) {
  decided = true;
  while (!items_.empty()) {
    StreamItem item = pop_locked();
    if (item.kind == StreamItem::Kind::Error) return Collected(std::move(*item.error));
    if (item.kind == StreamItem::Kind::Exited && item.result) {
      return Collected(std::move(*item.result));
    }
  }
  if (closed_) return Collected(NoResult{});
  decided = false;
  return std::nullopt;
}

std::vector<StreamChannel::Completion> StreamChannel::serve_locked() {
  std::vector<Completion> completions;
  while (!requests_.empty()) {
    Request& request = requests_.front();
    if (request.collect) {
      bool decided = false;
      auto collected = collect_locked(decided);
      if (!decided) break;
      completions.emplace_back([callback = std::move(request.on_collected),
                                value = std::move(*collected)]() mutable {
        callback(std::move(value));
      });
    } else if (!items_.empty()) {
      completions.emplace_back([callback = std::move(request.on_item),
                                item = pop_locked()]() mutable { callback(std::move(item)); });
    } else if (closed_) {
      completions.emplace_back(
          [callback = std::move(request.on_item)]() mutable { callback(std::nullopt); });
    } else {
      break;
    }
    requests_.pop_front();
  }
  if (receiver_released_ && requests_.empty()) items_.clear();
  return completions;
}

void StreamChannel::run(std::vector<Completion> completions, bool room_freed) {
  bool gone = false;
  UniqueFunction<void()> waiter;
  {
    std::lock_guard guard(lock_);
    gone = receiver_released_ && requests_.empty();
    // A sender waiting for room is woken once half the queue is free, not at
    // every item taken: waking it costs a thread hop, and it then refills
    // the queue in one go.
    const bool room = room_freed && items_.size() <= kCapacity / 2;
    if ((room || gone) && room_waiter_) waiter = std::move(room_waiter_);
  }
  for (Completion& completion : completions) completion();
  if (gone) receiver_gone_.cancel();
  if (waiter) waiter();
}

std::optional<Received> StreamChannel::receive(UniqueFunction<void(Received)> later) {
  std::vector<Completion> completions;
  std::optional<Received> now;
  {
    std::lock_guard guard(lock_);
    if (requests_.empty() && !items_.empty()) {
      now = Received(pop_locked());
    } else if (requests_.empty() && closed_) {
      now = Received(std::nullopt);
    } else {
      requests_.push_back(Request{false, std::move(later), {}});
      completions = serve_locked();
    }
  }
  const bool took = now.has_value() || !completions.empty();
  run(std::move(completions), took);
  return now;
}

std::optional<Collected> StreamChannel::collect_result(UniqueFunction<void(Collected)> later) {
  std::vector<Completion> completions;
  std::optional<Collected> now;
  {
    std::lock_guard guard(lock_);
    if (result_slot_) {
      now = Collected(*result_slot_);
    } else if (requests_.empty()) {
      bool decided = false;
      now = collect_locked(decided);
      if (!decided) requests_.push_back(Request{true, {}, std::move(later)});
    } else {
      requests_.push_back(Request{true, {}, std::move(later)});
      completions = serve_locked();
    }
  }
  run(std::move(completions), true);
  return now;
}

std::size_t StreamChannel::queued() const {
  std::lock_guard guard(lock_);
  return items_.size();
}

bool StreamChannel::withdraw_receive() {
  UniqueFunction<void(Received)> dropped;  // destroyed outside the lock
  {
    std::lock_guard guard(lock_);
    bool withdrawn = false;
    for (auto it = requests_.end(); it != requests_.begin() && !withdrawn;) {
      --it;
      if (it->collect) continue;
      dropped = std::move(it->on_item);
      requests_.erase(it);
      withdrawn = true;
    }
    if (!withdrawn) return false;
    if (receiver_released_ && requests_.empty()) items_.clear();
  }
  // The last request of a released receiver: the driver sees it gone now.
  run({}, false);
  return true;
}

void StreamChannel::release_receiver() {
  {
    std::lock_guard guard(lock_);
    receiver_released_ = true;
    if (requests_.empty()) items_.clear();
  }
  run({}, false);
}

bool StreamChannel::try_send(StreamItem& item) {
  std::vector<Completion> completions;
  {
    std::lock_guard guard(lock_);
    if (receiver_released_ && requests_.empty()) return false;
    if (items_.size() >= kCapacity) return false;
    items_.push_back(std::move(item));
    completions = serve_locked();
  }
  // Serving the last waiting request of a released receiver makes it gone.
  run(std::move(completions), false);
  return true;
}

void StreamChannel::on_room(UniqueFunction<void()> wake) {
  bool now = false;
  {
    std::lock_guard guard(lock_);
    now = items_.size() < kCapacity || (receiver_released_ && requests_.empty());
    if (!now) room_waiter_ = std::move(wake);
  }
  if (now) wake();
}

void StreamChannel::clear_room_waiter() {
  UniqueFunction<void()> dropped;  // destroyed outside the lock
  std::lock_guard guard(lock_);
  dropped = std::move(room_waiter_);
}

void StreamChannel::close() {
  std::vector<Completion> completions;
  {
    std::lock_guard guard(lock_);
    closed_ = true;
    completions = serve_locked();
  }
  run(std::move(completions), false);
}

}  // namespace quellar
