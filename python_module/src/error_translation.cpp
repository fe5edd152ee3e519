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

// The operating system's view of a spawn failure, as subprocess reports it:
// an OSError (the subclass its errno selects) with errno, strerror and, when
// one path is at fault, filename; `stage` names the sandbox launcher's step
// when the launcher reported the failure. Errors that are not the operating
// system's (a NUL byte in an argument) give an OSError with only a message.
Ref os_error_of(const IoError& source) {
  Ref args;
  if (source.kind() == IoErrorKind::Os) {
    Ref number = Ref::steal(PyLong_FromLong(source.os_error()));
    Ref strerror = text(source.message());
    if (!number || !strerror) return {};
    if (const auto& path = source.path()) {
      Ref filename = text(display_path(*path));
      if (!filename) return {};
      args = Ref::steal(PyTuple_Pack(3, number.get(), strerror.get(), filename.get()));
    } else {
      args = Ref::steal(PyTuple_Pack(2, number.get(), strerror.get()));
    }
  } else {
    Ref message = text(source.message());
    if (!message) return {};
    args = Ref::steal(PyTuple_Pack(1, message.get()));
  }
  if (!args) return {};
  Ref cause = Ref::steal(PyObject_Call(PyExc_OSError, args.get(), nullptr));
  if (!cause) return {};
  if (const auto& stage = source.stage()) set_attribute(cause.get(), "stage", text(*stage));
  return cause;
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
  // Only a failed start explains itself through its cause; the message stays
  // the fixed one whatever the operating system said.
  if (error.kind() == SandboxErrorKind::SpawnFailed && error.source()) {
    if (Ref cause = os_error_of(*error.source())) {
      PyException_SetCause(instance.get(), cause.release());  // steals
    } else {
      PyErr_Clear();
    }
  }
  return instance;
}

}  // namespace quellar::py
