#include "error_translation.h"

#include <string>
#include <variant>

#include "text.h"

namespace quellar::py {
namespace {

// Created once per process and never released: callers keep catching the
// class after a re-import of the module, so every module instance must hand
// out the same object.
PyObject* g_supervisor_error = nullptr;

// Sets one attribute; a failure is dropped so that the remaining attributes
// are still set and the caller still gets its exception.
void set_attribute(PyObject* instance, const char* name, Ref value) {
  if (!value || PyObject_SetAttrString(instance, name, value.get()) < 0) PyErr_Clear();
}

}  // namespace

TerminationFields termination_fields(const Termination& termination) noexcept {
  TerminationFields fields{termination_name(termination), std::nullopt, std::nullopt};
  if (const auto* exited = std::get_if<termination::Exited>(&termination)) {
    fields.exit_code = exited->exit.code;
    fields.signal = exited->exit.signal;
  }
  return fields;
}

PyObject* supervisor_error_class() {
  if (g_supervisor_error != nullptr) return g_supervisor_error;
  PyObject* created = PyErr_NewException("_native.SupervisorError", PyExc_Exception, nullptr);
  if (created == nullptr) return nullptr;
  // Creating a class can run a garbage collection, and with it finalizers
  // that release the interpreter lock: another thread may have got here
  // first. The check and the store below run without releasing the lock.
  if (g_supervisor_error == nullptr) {
    g_supervisor_error = created;
  } else {
    Py_DECREF(created);
  }
  return g_supervisor_error;
}

Ref to_py_error(SandboxError error) {
  std::string phase(phase_name(error.phase()));
  for (char& c : phase) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }

  PyObject* type = supervisor_error_class();
  if (type == nullptr) return {};
  Ref message = text(error.message());
  if (!message) return {};
  Ref instance = Ref::steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
  if (!instance) return {};

  set_attribute(instance.get(), "code", text(error.code()));
  set_attribute(instance.get(), "phase", text(phase));
  set_attribute(instance.get(), "retryable", boolean(error.retryable()));
  if (const ExecutableIdentity* identity = error.executable()) {
    set_attribute(instance.get(), "executable", text(display_path(identity->requested)));
  }
  if (const auto& termination = error.termination()) {
    set_attribute(instance.get(), "termination", text(termination_fields(*termination).name));
  }
  if (const auto& tail = error.stderr_tail()) {
    set_attribute(instance.get(), "stderr_tail", text(*tail));
  }
  return instance;
}

}  // namespace quellar::py
