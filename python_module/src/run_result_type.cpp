#include "run_result_type.h"

#include <cstring>

#include "args.h"
#include "boxed.h"
#include "error_translation.h"
#include "text.h"

namespace quellar::py {
namespace {

const RunResultData& data_of(PyObject* self) { return unbox<RunResultData>(self); }

Ref optional_int(const std::optional<std::int32_t>& value) {
  return value ? Ref::steal(PyLong_FromLong(*value)) : none();
}

// bytes(output).
Ref output_bytes(const ByteBuffer& output) {
  Ref copy = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(output.size())));
  if (!copy) return {};
  output.copy_to(PyBytes_AsString(copy.get()));
  return copy;
}

template <auto Field>
PyObject* get_bytes(PyObject* self, void*) {
  // A new bytes object on every access: the record is never shared.
  return guarded<PyObject*>(nullptr, [&] { return output_bytes(data_of(self).*Field).release(); });
}

PyObject* get_termination(PyObject* self, void*) { return text(data_of(self).termination).release(); }
PyObject* get_enforcement(PyObject* self, void*) { return text(data_of(self).enforcement).release(); }
PyObject* get_requested(PyObject* self, void*) {
  return text(data_of(self).requested_executable).release();
}
PyObject* get_canonical(PyObject* self, void*) {
  const auto& canonical = data_of(self).canonical_executable;
  return (canonical ? text(*canonical) : none()).release();
}
PyObject* get_exit_code(PyObject* self, void*) { return optional_int(data_of(self).exit_code).release(); }
PyObject* get_signal(PyObject* self, void*) { return optional_int(data_of(self).signal).release(); }
PyObject* get_success(PyObject* self, void*) { return boolean(data_of(self).success).release(); }

constexpr const char* kTextNames[] = {"encoding", "errors"};

// codecs.decode(bytes(output), encoding, errors), whose errors propagate
// unchanged: an unknown encoding, a strict decoding failure.
PyObject* decode(const char* function, const ByteBuffer& output, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames) {
  const Parameters parameters{function, kTextNames, 2, 2};
  PyObject* bound[2];
  if (!bind(parameters, args, nargs, kwnames, bound)) return nullptr;
  for (int i = 0; i < 2; ++i) {
    if (!PyUnicode_Check(bound[i])) {
      Arg{parameters, kTextNames[i], bound[i]}.type_error("str");
      return nullptr;
    }
  }
  Ref codecs = Ref::steal(PyImport_ImportModule("codecs"));
  if (!codecs) return nullptr;
  Ref decode = Ref::steal(PyObject_GetAttrString(codecs.get(), "decode"));
  if (!decode) return nullptr;
  Ref data = output_bytes(output);
  if (!data) return nullptr;
  Ref decoded = Ref::steal(
      PyObject_CallFunctionObjArgs(decode.get(), data.get(), bound[0], bound[1], nullptr));
  if (!decoded) return nullptr;
  if (!PyUnicode_Check(decoded.get())) {
    Arg{parameters, "encoding", decoded.get()}.type_error("a text encoding (the codec returned no str)");
    return nullptr;
  }
  return decoded.release();
}

PyObject* stdout_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    return decode("stdout_text", data_of(self).stdout_bytes, args, nargs, kwnames);
  });
}

PyObject* stderr_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    return decode("stderr_text", data_of(self).stderr_bytes, args, nargs, kwnames);
  });
}

// Shown in full up to this many bytes; longer output is cut and its size shown.
constexpr std::size_t kReprBytes = 64;

Ref output_repr(const ByteBuffer& output) {
  Ref head = bytes(output.prefix(kReprBytes));
  if (!head) return head;
  if (output.size() <= kReprBytes) return Ref::steal(PyObject_Repr(head.get()));
  return Ref::steal(PyUnicode_FromFormat("%R... (%zu bytes)", head.get(), output.size()));
}

PyObject* run_result_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const RunResultData& data = data_of(self);
    Ref termination = text(data.termination);
    Ref executable = text(data.requested_executable);
    Ref exit_code = optional_int(data.exit_code);
    Ref signal = optional_int(data.signal);
    Ref out = output_repr(data.stdout_bytes);
    Ref err = output_repr(data.stderr_bytes);
    if (!termination || !executable || !exit_code || !signal || !out || !err) return nullptr;
    return PyUnicode_FromFormat(
        "<RunResult %R termination=%R exit_code=%R signal=%R success=%s stdout=%U stderr=%U>",
        executable.get(), termination.get(), exit_code.get(), signal.get(),
        data.success ? "True" : "False", out.get(), err.get());
  });
}

PyGetSetDef run_result_getset[] = {
    {"stdout", get_bytes<&RunResultData::stdout_bytes>, nullptr,
     "Captured standard output (at most the command's limit), as new bytes.", nullptr},
    {"stderr", get_bytes<&RunResultData::stderr_bytes>, nullptr,
     "Captured standard error (at most the command's limit), as new bytes.", nullptr},
    {"termination", get_termination, nullptr,
     "How the run ended: \"exited\", \"timed_out\", \"cancelled\", "
     "\"stdout_limit_exceeded\" or \"stderr_limit_exceeded\".", nullptr},
    {"enforcement", get_enforcement, nullptr,
     "The containment level the child ran under: \"enforced\", \"degraded\", "
     "\"unavailable\" or \"trusted\".", nullptr},
    {"requested_executable", get_requested, nullptr, "The executable as requested.", nullptr},
    {"canonical_executable", get_canonical, nullptr,
     "The resolved executable that ran, or None.", nullptr},
    {"exit_code", get_exit_code, nullptr, "The exit status if the child exited, else None.", nullptr},
    {"signal", get_signal, nullptr, "The signal that ended the child, else None.", nullptr},
    {"success", get_success, nullptr, "True only for an exit with status 0.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef run_result_methods[] = {
    {"stdout_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stdout_text)),
     METH_FASTCALL | METH_KEYWORDS,
     "stdout_text($self, encoding, errors)\n--\n\n"
     "The captured standard output decoded with codecs.decode(). Raises TypeError\n"
     "unless both arguments are str, and whatever the codec raises (LookupError\n"
     "for an unknown encoding, UnicodeDecodeError under a strict handler)."},
    {"stderr_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stderr_text)),
     METH_FASTCALL | METH_KEYWORDS,
     "stderr_text($self, encoding, errors)\n--\n\n"
     "The captured standard error decoded with codecs.decode(). Raises TypeError\n"
     "unless both arguments are str, and whatever the codec raises (LookupError\n"
     "for an unknown encoding, UnicodeDecodeError under a strict handler)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot run_result_slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "The outcome of a finished run: output, how it ended, which executable ran.\n"
        "Immutable; instances come only from run() and from the end of a stream().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<RunResultData>)},
    {Py_tp_getset, run_result_getset},
    {Py_tp_methods, run_result_methods},
    {Py_tp_repr, reinterpret_cast<void*>(run_result_repr)},
    {0, nullptr},
};

PyType_Spec run_result_spec = {
    "quellar._native.RunResult",
    sizeof(Boxed<RunResultData>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    run_result_slots,
};

std::optional<std::string> canonical_text(const ExecutableIdentity& identity) {
  if (!identity.canonical) return std::nullopt;
  return display_path(*identity.canonical);
}

}  // namespace

RunResultData from_output(ExecutionOutput output) {
  TerminationFields fields = termination_fields(output.termination);
  RunResultData data;
  data.stdout_bytes = std::move(output.stdout_bytes);
  data.stderr_bytes = std::move(output.stderr_bytes);
  data.termination = fields.name;
  data.enforcement = enforcement_name(output.enforcement);
  data.requested_executable = display_path(output.executable.requested);
  data.canonical_executable = canonical_text(output.executable);
  data.exit_code = fields.exit_code;
  data.signal = fields.signal;
  data.success = output.success;
  return data;
}

RunResultData from_receipt(const ProcessReceipt& receipt, ByteBuffer stdout_bytes,
                           ByteBuffer stderr_bytes) {
  TerminationFields fields = termination_fields(receipt.termination);
  RunResultData data;
  data.stdout_bytes = std::move(stdout_bytes);
  data.stderr_bytes = std::move(stderr_bytes);
  data.termination = fields.name;
  data.enforcement = enforcement_name(receipt.enforcement);
  data.requested_executable = display_path(receipt.executable.requested);
  data.canonical_executable = canonical_text(receipt.executable);
  data.exit_code = fields.exit_code;
  data.signal = fields.signal;
  data.success = fields.name == "exited" && fields.exit_code == 0;
  return data;
}

PyObject* create_run_result_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &run_result_spec, nullptr);
}

Ref new_run_result(PyTypeObject* type, RunResultData data) { return box(type, std::move(data)); }

}  // namespace quellar::py
