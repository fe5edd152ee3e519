#include "interpreter_exit.h"

#include <atomic>

#include "host_fork.h"
#include "supervisor/live_children.h"

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

// Cancelled by the exit hook; every run in flight holds a callback on it.
// Replaced (and the old one leaked) in a forked child, whose copy may have
// been taken with its mutex held by a thread that does not exist there.
CancellationToken* g_exit_token = new CancellationToken();

PyObject* on_interpreter_exit(PyObject*, PyObject*) {
  g_exiting.store(true);
  // Entries in flight may be waiting for the lock this thread holds (not a
  // GilRelease: that would count itself, and wait for itself).
  PyThreadState* saved = PyEval_SaveThread();
  // A supervised child must not outlive its supervisor silently. The
  // cancellations reach runs that have no child yet; the kill reaches every
  // group at once. The runs then finish, and their settling backs out.
  g_exit_token->cancel();
  if (g_runtime_used.load()) terminate_all_children();
  for (int n = g_in_flight.load(); n != 0; n = g_in_flight.load()) g_in_flight.wait(n);
  PyEval_RestoreThread(saved);
  Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_quellar_exit_hook", on_interpreter_exit, METH_NOARGS, nullptr};

// Only the forking thread exists in a forked child: an entry counted by any
// other thread of the parent never leaves, and the hook would wait forever.
// The parent's runs are not the child's to cancel.
void reset_in_child() {
  g_in_flight.store(0);
  g_exit_token = new CancellationToken();
}

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
  // After the library's own steps in a forked child (host_fork.h).
  host_fork::add_child_step(reset_in_child);
  g_installed = true;
  return true;
}

std::optional<ExitLink> ExitLink::make(const CancellationToken& token) {
  if (g_exiting.load()) return std::nullopt;
  g_runtime_used.store(true, std::memory_order_relaxed);
  auto id = g_exit_token->on_cancel([token] { token.cancel(); });
  if (id == 0) return std::nullopt;  // the hook cancelled it just now
  return ExitLink(id);
}

ExitLink::~ExitLink() {
  if (id_ != 0) g_exit_token->remove(id_);
}

}  // namespace quellar::py
