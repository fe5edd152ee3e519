#include "token_type.h"

#include "args.h"
#include "boxed.h"
#include "interpreter_exit.h"

namespace quellar::py {
namespace {

constexpr Parameters kParameters{"CancellationToken", {}, 0, 0};

PyObject* token_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!bind(kParameters, args, kwargs, nullptr)) return nullptr;
    return box(type, CancellationToken()).release();
  });
}

PyObject* token_cancel(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    CancellationToken token = token_data(self);
    {
      // Cancelling runs the token's callbacks on this thread; they belong to
      // the runtime, which may itself be waiting for the interpreter lock.
      GilRelease unlocked;
      token.cancel();
    }
    return none().release();
  });
}

PyObject* token_cancelled(PyObject* self, PyObject*) {
  return boolean(token_data(self).is_cancelled()).release();
}

PyMethodDef token_methods[] = {
    {"cancel", token_cancel, METH_NOARGS,
     "cancel($self)\n--\n\n"
     "Requests cancellation of every run holding this token; their children are\n"
     "killed with their process groups. Later calls do nothing. Never raises."},
    {"cancelled", token_cancelled, METH_NOARGS,
     "cancelled($self)\n--\n\n"
     "True once cancel() has been called (or a run holding the token was dropped\n"
     "or raised), else False."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot token_slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "CancellationToken()\n--\n\n"
        "A sticky cancellation flag shared with every run it is passed to. Safe to\n"
        "use from any thread. Raises TypeError when given arguments.")},
    {Py_tp_new, reinterpret_cast<void*>(token_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<CancellationToken>)},
    {Py_tp_methods, token_methods},
    {0, nullptr},
};

PyType_Spec token_spec = {
    "quellar._native.CancellationToken",
    sizeof(Boxed<CancellationToken>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    token_slots,
};

}  // namespace

PyObject* create_token_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &token_spec, nullptr);
}

const CancellationToken& token_data(PyObject* token) { return unbox<CancellationToken>(token); }

}  // namespace quellar::py
