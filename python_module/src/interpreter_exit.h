// Runtime threads and the interpreter's end. A run can finish after the
// interpreter has begun to finalize; from then on, taking the interpreter
// lock from a foreign thread hangs or ends that thread (CPython 3.10 to 3.13
// park or pthread_exit it), and releasing a reference touches freed state.
// So every entry of a runtime thread into Python goes through PythonAccess,
// and an atexit hook closes the door: it refuses new entries and new runs,
// cancels every run in flight, kills every supervised child and waits, with
// the lock released, for the entries already inside. atexit hooks run before
// finalization starts.
#pragma once

#include "ref.h"

#include <optional>
#include <utility>

#include "cancellation.h"

namespace quellar::py {

class PythonAccess {
 public:
  PythonAccess() noexcept;
  ~PythonAccess();
  PythonAccess(const PythonAccess&) = delete;
  PythonAccess& operator=(const PythonAccess&) = delete;

  // False once the interpreter is exiting: touch nothing of Python, not even
  // a reference count; leak what is held instead.
  explicit operator bool() const noexcept { return allowed_; }

 private:
  bool allowed_;
};

// Releases the interpreter lock for a scope, around anything that may block
// or run foreign callbacks. Counted like an entry: the exit hook waits, with
// the lock released, for a scope that is open, so that its thread takes the
// lock back before finalization (a thread that takes it later, a daemon
// thread running an event loop, is ended by CPython from inside this
// library, which it cannot unwind). Once the interpreter is exiting, the
// lock is kept instead: no runtime thread waits for it any more.
class GilRelease {
 public:
  GilRelease() noexcept : saved_(access_ ? PyEval_SaveThread() : nullptr) {}
  ~GilRelease() {
    if (saved_ != nullptr) PyEval_RestoreThread(saved_);
  }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PythonAccess access_;  // first made, last gone: counts the whole scope
  PyThreadState* saved_;
};

// Ties one run to the interpreter's exit: until it is destroyed, the exit
// hook cancels the run's token, so a run still validating or spawning when
// the interpreter exits kills its child as soon as it has one (killing the
// known groups alone would miss it). Movable; destroy from any thread.
class ExitLink {
 public:
  // std::nullopt once the interpreter has begun to exit: start nothing then,
  // its outcome could never be delivered.
  static std::optional<ExitLink> make(const CancellationToken& token);

  ExitLink(ExitLink&& other) noexcept : id_(std::exchange(other.id_, 0)) {}
  ExitLink& operator=(ExitLink&&) = delete;
  ~ExitLink();

 private:
  explicit ExitLink(CancellationToken::CallbackId id) : id_(id) {}
  CancellationToken::CallbackId id_;
};

// Registers the atexit hook and the fork handler, once per process. Needs
// the interpreter lock; false with an exception set on failure.
bool install_exit_hook();

}  // namespace quellar::py
