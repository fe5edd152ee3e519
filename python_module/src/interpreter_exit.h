// Runtime threads and the interpreter's end. A run can finish after the
// interpreter has begun to finalize; from then on, taking the interpreter
// lock from a foreign thread hangs or ends that thread (CPython 3.10 to 3.13
// park or pthread_exit it), and releasing a reference touches freed state.
// So every entry of a runtime thread into Python goes through PythonAccess,
// and an atexit hook closes the door: it kills every supervised child,
// refuses new entries and waits, with the lock released, for the entries
// already inside. atexit hooks run before finalization starts.
#pragma once

#include "ref.h"

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

// Registers the atexit hook and the fork handler, once per process. Needs
// the interpreter lock; false with an exception set on failure.
bool install_exit_hook();

// Records that the runtime has been used, so that the hook has children to
// kill (and starts no runtime when none was ever used).
void note_runtime_used() noexcept;

}  // namespace quellar::py
