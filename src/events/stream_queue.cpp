#include "stream_queue.h"

#include <algorithm>
#include <type_traits>
#include <utility>
#include <vector>

#include <asio/post.hpp>

namespace quellar {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

bool is_final(const StreamItem& item) {
  return item.kind == StreamItem::Kind::Error ||
         (item.kind == StreamItem::Kind::Exited && item.result);
}

}  // namespace

StreamQueue::StreamQueue(CancellationToken stream_token) : stream_token_(std::move(stream_token)) {}

void StreamQueue::run(std::vector<Call>& calls) {
  for (Call& call : calls) call();
  calls.clear();
}

// ---------------------------------------------------------------- consumer

StreamQueue::Claim StreamQueue::claim() {
  std::lock_guard guard(lock_);
  const Claim id = next_claim_++;
  claims_.push_back({id, false});
  return id;
}

StreamQueue::Claim StreamQueue::claim_result() {
  std::lock_guard guard(lock_);
  const Claim id = next_claim_++;
  claims_.push_back({id, true});
  return id;
}

std::size_t StreamQueue::index_locked(Claim claim) const {
  for (std::size_t i = 0; i < claims_.size(); ++i) {
    if (claims_[i].claim == claim) return i;
  }
  return kNone;
}

bool StreamQueue::ready_locked(std::size_t index) const {
  if (index == kNone) return true;  // an unknown claim is answered with the end
  // A claim behind a claim on the final result gets only the end: everything
  // from that claim's place on is its to discard.
  for (std::size_t i = 0; i < index; ++i) {
    if (claims_[i].result) return finished_;
  }
  if (!claims_[index].result) return items_.size() > index || finished_;
  if (taken_result_ || finished_) return true;
  for (std::size_t i = index; i < items_.size(); ++i) {
    if (is_final(items_[i])) return true;
  }
  return false;
}

bool StreamQueue::some_claim_ready_locked() const {
  for (std::size_t i = 0; i < claims_.size(); ++i) {
    if (ready_locked(i)) return true;
  }
  return false;
}

bool StreamQueue::ready(Claim claim) const {
  std::lock_guard guard(lock_);
  return ready_locked(index_locked(claim));
}

std::size_t StreamQueue::place_of(Claim claim) const {
  std::lock_guard guard(lock_);
  const std::size_t index = index_locked(claim);
  return index == kNone ? claims_.size() : index;
}

StreamItem StreamQueue::take_at_locked(std::size_t index) {
  StreamItem item = std::move(items_[index]);
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
  if (item.kind == StreamItem::Kind::Exited && item.result) taken_result_ = item.result.take();
  return item;
}

void StreamQueue::settle_locked(std::vector<Call>& calls) {
  if (released_ && claims_.empty()) {
    // Nothing will be taken any more: let go of what waits.
    items_.clear();
    calls.emplace_back([gone = consumer_gone_] { gone.cancel(); });
  }
  room_freed_locked(calls);
}

void StreamQueue::room_freed_locked(std::vector<Call>& calls) {
  if (room_waiters_.empty()) return;
  // A reader waiting for room is woken once half the queue is free, not at
  // every item taken: waking it costs a thread hop, and it then refills the
  // queue in one go.
  const bool gone = released_ && claims_.empty();
  if (items_.size() + reserved_ > kCapacity / 2 && !finished_ && !gone) return;
  for (auto& [executor, room] : room_waiters_) {
    calls.emplace_back([executor, room = std::move(room)]() mutable {
      asio::post(executor, std::move(room));
    });
  }
  room_waiters_.clear();
}

std::optional<Received> StreamQueue::take(Claim claim) {
  std::vector<Call> calls;
  std::optional<Received> taken;
  std::shared_ptr<const StreamResult> result;  // the exit event's, to copy
  {
    std::lock_guard guard(lock_);
    const std::size_t index = index_locked(claim);
    if (!ready_locked(index)) return std::nullopt;
    bool behind_result = false;
    for (std::size_t i = 0; index != kNone && i < index; ++i) behind_result |= claims_[i].result;
    if (index != kNone && !behind_result && items_.size() > index) {
      taken = Received(take_at_locked(index));
      if ((*taken)->kind == StreamItem::Kind::Exited && taken_result_) result = taken_result_;
    } else {
      taken = Received(std::nullopt);
    }
    if (index != kNone) claims_.erase(claims_.begin() + static_cast<std::ptrdiff_t>(index));
    settle_locked(calls);
  }
  run(calls);
  // The event's own copy: its consumer may move from it, and the kept one
  // answers close(). A large capture is not copied under the lock.
  if (result) (*taken)->result = std::make_unique<StreamResult>(*result);
  return taken;
}

std::optional<StreamQueue::Decided> StreamQueue::decide_result_locked(std::size_t index) {
  if (taken_result_) return Decided(taken_result_);
  // Everything from the claim's place on is discarded until the final item.
  while (items_.size() > index) {
    StreamItem item = take_at_locked(index);
    if (item.kind == StreamItem::Kind::Error && item.error) return Decided(std::move(*item.error));
    if (taken_result_) return Decided(taken_result_);
  }
  if (finished_) return Decided(NoResult{});
  return std::nullopt;
}

std::optional<Collected> StreamQueue::take_result(Claim claim) {
  std::vector<Call> calls;
  std::optional<Decided> decided;
  {
    std::lock_guard guard(lock_);
    std::size_t index = index_locked(claim);
    if (index == kNone) {
      decided = taken_result_ ? Decided(taken_result_) : Decided(NoResult{});
    } else {
      decided = decide_result_locked(index);
      if (decided) claims_.erase(claims_.begin() + static_cast<std::ptrdiff_t>(index));
    }
    settle_locked(calls);
  }
  run(calls);
  if (!decided) return std::nullopt;
  // The result is copied here, without the lock: the kept one stays for
  // whoever asks next.
  return std::visit(
      [](auto& outcome) -> Collected {
        if constexpr (std::is_same_v<std::decay_t<decltype(outcome)>,
                                     std::shared_ptr<const StreamResult>>) {
          return Collected(StreamResult(*outcome));
        } else {
          return Collected(std::move(outcome));
        }
      },
      *decided);
}

void StreamQueue::withdraw(Claim claim) {
  std::vector<Call> calls;
  {
    std::lock_guard guard(lock_);
    const std::size_t index = index_locked(claim);
    if (index == kNone) return;
    claims_.erase(claims_.begin() + static_cast<std::ptrdiff_t>(index));
    settle_locked(calls);
  }
  run(calls);
}

void StreamQueue::give_back(std::size_t place, StreamItem item) {
  std::vector<Call> calls;
  UniqueFunction<void()> wake;
  {
    std::lock_guard guard(lock_);
    if (released_ && claims_.empty()) return;  // nobody left to take it
    const std::size_t at = std::min(place, items_.size());
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(at), std::move(item));
    if (consumer_waker_ && some_claim_ready_locked()) wake = std::move(consumer_waker_);
  }
  if (wake) wake();
}

bool StreamQueue::on_ready(UniqueFunction<void()> wake) {
  UniqueFunction<void()> replaced;  // destroyed outside the lock
  std::lock_guard guard(lock_);
  if (some_claim_ready_locked()) return true;
  replaced = std::exchange(consumer_waker_, std::move(wake));
  return false;
}

void StreamQueue::release_consumer() {
  std::vector<Call> calls;
  UniqueFunction<void()> waker;
  {
    std::lock_guard guard(lock_);
    released_ = true;
    // Claims still waiting keep their waker; without them nobody is left.
    if (claims_.empty()) waker = std::move(consumer_waker_);
    settle_locked(calls);
  }
  run(calls);
}

std::size_t StreamQueue::queued() const {
  std::lock_guard guard(lock_);
  return items_.size();
}

std::shared_ptr<const StreamResult> StreamQueue::taken_result() const {
  std::lock_guard guard(lock_);
  return taken_result_;
}

// ---------------------------------------------------------------- producer

UniqueFunction<void()> StreamQueue::push_locked(StreamItem item) {
  // After the final item nothing comes; without a consumer nobody takes it.
  if (finished_ || (released_ && claims_.empty())) return nullptr;
  items_.push_back(std::move(item));
  if (consumer_waker_ && some_claim_ready_locked()) return std::move(consumer_waker_);
  return nullptr;
}

void StreamQueue::push(StreamItem item) {
  UniqueFunction<void()> wake;
  {
    std::lock_guard guard(lock_);
    wake = push_locked(std::move(item));
  }
  if (wake) wake();
}

std::size_t StreamQueue::reserve(std::size_t wanted) {
  std::lock_guard guard(lock_);
  const std::size_t used = items_.size() + reserved_;
  const std::size_t room = used < kCapacity ? kCapacity - used : 0;
  const std::size_t granted = std::min(wanted, room);
  reserved_ += granted;
  return granted;
}

void StreamQueue::unreserve(std::size_t count) {
  std::vector<Call> calls;
  {
    std::lock_guard guard(lock_);
    reserved_ -= std::min(count, reserved_);
    room_freed_locked(calls);
  }
  run(calls);
}

void StreamQueue::push_reserved(StreamItem item) {
  UniqueFunction<void()> wake;
  {
    std::lock_guard guard(lock_);
    if (reserved_ > 0) --reserved_;
    wake = push_locked(std::move(item));
  }
  if (wake) wake();
}

bool StreamQueue::try_push(StreamItem& item) {
  UniqueFunction<void()> wake;
  {
    std::lock_guard guard(lock_);
    if (!(released_ && claims_.empty()) && items_.size() + reserved_ >= kCapacity) return false;
    wake = push_locked(std::move(item));
  }
  if (wake) wake();
  return true;
}

void StreamQueue::when_room(const asio::any_io_executor& executor, UniqueFunction<void()> room) {
  {
    std::lock_guard guard(lock_);
    const bool gone = released_ && claims_.empty();
    if (items_.size() + reserved_ >= kCapacity && !finished_ && !gone) {
      room_waiters_.emplace_back(executor, std::move(room));
      return;
    }
  }
  asio::post(executor, std::move(room));
}

void StreamQueue::finish(std::optional<StreamItem> last) {
  std::vector<Call> calls;
  UniqueFunction<void()> wake;
  {
    std::lock_guard guard(lock_);
    if (finished_) return;
    finished_ = true;
    if (last && !(released_ && claims_.empty())) items_.push_back(std::move(*last));
    wake = std::move(consumer_waker_);
    room_freed_locked(calls);
  }
  if (wake) wake();
  run(calls);
}

bool StreamQueue::finished() const {
  std::lock_guard guard(lock_);
  return finished_;
}

}  // namespace quellar
