#include "cancellation.h"

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace quellar {

struct CancellationToken::State {
  std::atomic<bool> cancelled{false};
  std::mutex lock;
  CallbackId next_id = 1;
  std::map<CallbackId, Callback> callbacks;
};

CancellationToken::CancellationToken() : state_(std::make_shared<State>()) {}

void CancellationToken::cancel() const {
  std::map<CallbackId, Callback> due;
  {
    std::lock_guard guard(state_->lock);
    if (state_->cancelled.exchange(true)) return;
    due.swap(state_->callbacks);
  }
  for (auto& [id, callback] : due) callback();
}

bool CancellationToken::is_cancelled() const {
  return state_->cancelled.load(std::memory_order_acquire);
}

CancellationToken::CallbackId CancellationToken::on_cancel(Callback callback) const {
  std::lock_guard guard(state_->lock);
  if (state_->cancelled.load(std::memory_order_relaxed)) return 0;
  CallbackId id = state_->next_id++;
  state_->callbacks.emplace(id, std::move(callback));
  return id;
}

bool CancellationToken::remove(CallbackId id) const {
  Callback removed;  // destroyed after the lock is released
  std::lock_guard guard(state_->lock);
  auto it = state_->callbacks.find(id);
  if (it == state_->callbacks.end()) return false;
  removed = std::move(it->second);
  state_->callbacks.erase(it);
  return true;
}

}  // namespace quellar
