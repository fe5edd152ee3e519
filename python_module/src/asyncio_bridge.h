// The bridge between work on the core's runtime and asyncio. The call that
// starts the work creates a future on the running loop and returns it; the
// runtime thread that finishes the work settles the future through
// loop.call_soon_threadsafe, in the context captured at the call, so the
// result is set on the loop's own thread. The loop-side callback drops an
// outcome whose future is already done (cancelled by its awaiter).
#pragma once

#include "ref.h"

#include <memory>
#include <optional>

#include "module_state.h"
#include "unique_function.h"

namespace quellar::py {

class PendingFuture {
 public:
  // On the loop's thread, with the interpreter lock: asyncio.get_running_loop()
  // (its RuntimeError propagates when no loop runs), loop.create_future() and
  // contextvars.copy_context(). std::nullopt with an exception set on failure.
  static std::optional<PendingFuture> create(PyObject* module);

  PendingFuture(PendingFuture&& other) noexcept;
  PendingFuture& operator=(PendingFuture&&) = delete;
  // A future never settled (its work was dropped by the runtime) gets a
  // worker failure, so that no awaiter waits forever.
  ~PendingFuture();

  // The future (borrowed), for the call to return. Interpreter lock needed.
  PyObject* future() const noexcept;

  // Gives up a future that was never handed out (its call failed): the
  // references go, nothing is settled. Interpreter lock needed.
  void discard() noexcept;

  // Runs `on_cancel` on the loop's thread, with the interpreter lock
  // released, when Python cancels the future. Interpreter lock needed; false
  // with an exception set on failure.
  bool on_cancelled(UniqueFunction<void()> on_cancel);

  // From any thread, without the interpreter lock. `build(ModuleState&)` runs
  // with the lock and returns the result object, or null with an exception
  // set, which then becomes the future's exception. At most once; nothing
  // happens after the interpreter has begun to exit.
  template <class Build>
  void set_result(Build&& build) noexcept {
    deliver(&call<Build>, &build, false);
  }
  // The same, with `build` returning the exception instance to raise.
  template <class Build>
  void set_exception(Build&& build) noexcept {
    deliver(&call<Build>, &build, true);
  }

 private:
  struct Parts;
  using BuildFn = Ref (*)(void* build, ModuleState& state);

  explicit PendingFuture(std::unique_ptr<Parts> parts) noexcept;

  template <class Build>
  static Ref call(void* build, ModuleState& state) {
    return (*static_cast<std::remove_reference_t<Build>*>(build))(state);
  }
  void deliver(BuildFn build, void* context, bool is_exception) noexcept;

  std::unique_ptr<Parts> parts_;
};

// The pending exception as an instance (with its traceback), cleared; null
// when none is pending. Interpreter lock needed.
Ref take_exception();

// RuntimeError("execution worker failed: " + description), for work that
// ended without an outcome. Interpreter lock needed.
Ref worker_failure(std::string_view description);

// The module function that settles a future on its loop's thread; stored in
// the module state by the first run.
extern PyMethodDef resolve_def;

}  // namespace quellar::py
