// A move-only std::function: holds callables that capture move-only state
// (a completion handler, an owned buffer). std::move_only_function would do,
// but not every standard library this code is built with provides it.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace quellar {

template <class Signature>
class UniqueFunction;

template <class R, class... Args>
class UniqueFunction<R(Args...)> {
 public:
  UniqueFunction() = default;
  UniqueFunction(std::nullptr_t) {}
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, UniqueFunction>>>
  UniqueFunction(F&& f) : impl_(std::make_unique<Model<std::decay_t<F>>>(std::forward<F>(f))) {}

  UniqueFunction(UniqueFunction&&) noexcept = default;
  UniqueFunction& operator=(UniqueFunction&&) noexcept = default;

  explicit operator bool() const { return impl_ != nullptr; }
  R operator()(Args... args) { return impl_->call(std::forward<Args>(args)...); }

 private:
  struct Concept {
    virtual ~Concept() = default;
    virtual R call(Args... args) = 0;
  };
  template <class F>
  struct Model final : Concept {
    explicit Model(F&& f) : f(std::move(f)) {}
    explicit Model(const F& f) : f(f) {}
    R call(Args... args) override { return f(std::forward<Args>(args)...); }
    F f;
  };
  std::unique_ptr<Concept> impl_;
};

}  // namespace quellar
