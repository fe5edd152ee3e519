#include "interpreter_exit.h"

#include <pthread.h>

#include <atomic>

#include "supervisor/run.h"

namespace quellar::py {
namespace {

// Sequentially consistent on purpose: an entry increments the count and then
// reads the flag, the hook sets the flag and then reads the count; with a
// single total order at least one of them sees the other, so an entry either
// backs out or is waited for.
std::atomic<bool> g_exiting{false};
std::atomic<int> g_in_flight{0};
std::atomic<bool> g_runtime_used{false};
bool g_installed = false;  // guarded by the interpreter lock

PyObject* on_interpreter_exit(PyObject*, PyObject*) {
  g_exiting.store(true);
  {
    // Entries in flight may be waiting for the lock this thread holds.
    GilRelease unlocked;
    // A supervised child must not outlive its supervisor silently. Killing
    // the groups also makes their runs finish, and those now back out.
    if (g_runtime_used.load()) terminate_all_children();
    for (int n = g_in_flight.load(); n != 0; n = g_in_flight.load()) g_in_flight.wait(n);
  }
  Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_quellar_exit_hook", on_interpreter_exit, METH_NOARGS, nullptr};

// Only the forking thread exists in a forked child: an entry counted by any
// other thread of the parent never leaves, and the hook would wait forever.
void reset_in_child() { g_in_flight.store(0); }

}  // namespace

PythonAccess::PythonAccess() noexcept {
  g_in_flight.fetch_add(1);
  allowed_ = !g_exiting.load();
}

PythonAccess::~PythonAccess() {
  if (g_in_flight.fetch_sub(1) == 1) g_in_flight.notify_all();
}

bool install_exit_hook() {
  if (g_installed) return true;
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  Ref hook = Ref::steal(PyCFunction_NewEx(&exit_hook_def, nullptr, nullptr));
  if (!hook) return false;
  Ref registered = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  if (!registered) return false;
  if (::pthread_atfork(nullptr, nullptr, reset_in_child) != 0) {
    PyErr_SetString(PyExc_RuntimeError, "cannot register the fork handler");
    return false;
  }
  g_installed = true;
  return true;
}

void note_runtime_used() noexcept { g_runtime_used.store(true, std::memory_order_relaxed); }

}  // namespace quellar::py
