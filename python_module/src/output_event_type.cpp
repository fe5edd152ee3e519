#include "output_event_type.h"

#include "asyncio_bridge.h"
#include "boxed.h"
#include "error_translation.h"
#include "run_result_type.h"

namespace quellar::py {
namespace {

struct EventData {
  StreamItem::Kind kind;
  Bytes data;  // empty for "started" and "exited"
  Ref result;  // the RunResult of "exited"; null otherwise
};

const EventData& data_of(PyObject* self) { return unbox<EventData>(self); }

std::string_view kind_name(StreamItem::Kind kind) {
  switch (kind) {
    case StreamItem::Kind::Started:
      return "started";
    case StreamItem::Kind::Stdout:
      return "stdout";
    case StreamItem::Kind::Stderr:
      return "stderr";
    default:
      return "exited";
  }
}

PyObject* get_kind(PyObject* self, void*) { return text(kind_name(data_of(self).kind)).release(); }

PyObject* get_data(PyObject* self, void*) {
  // A new bytes object on every access, as RunResult's output.
  return guarded<PyObject*>(nullptr, [&] { return bytes(data_of(self).data).release(); });
}

PyObject* get_result(PyObject* self, void*) {
  const Ref& result = data_of(self).result;
  return (result ? Ref(result) : none()).release();
}

constexpr std::size_t kReprBytes = 32;

PyObject* event_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const EventData& data = data_of(self);
    Ref kind = text(kind_name(data.kind));
    if (!kind) return nullptr;
    if (data.result) return PyUnicode_FromFormat("<OutputEvent %R %R>", kind.get(), data.result.get());
    if (data.kind != StreamItem::Kind::Stdout && data.kind != StreamItem::Kind::Stderr) {
      return PyUnicode_FromFormat("<OutputEvent %R>", kind.get());
    }
    Ref head = bytes(std::string_view(data.data).substr(0, kReprBytes));
    if (!head) return nullptr;
    if (data.data.size() <= kReprBytes) return PyUnicode_FromFormat("<OutputEvent %R %R>", kind.get(), head.get());
    return PyUnicode_FromFormat("<OutputEvent %R %R... (%zu bytes)>", kind.get(), head.get(),
                                data.data.size());
  });
}

PyGetSetDef event_getset[] = {
    {"kind", get_kind, nullptr, "\"started\", \"stdout\", \"stderr\" or \"exited\".", nullptr},
    {"data", get_data, nullptr,
     "The chunk of a \"stdout\" or \"stderr\" event, as new bytes; empty for the others.", nullptr},
    {"result", get_result, nullptr, "The final RunResult of an \"exited\" event; None for the others.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot event_slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "One event of a streamed command: \"started\", a chunk of \"stdout\" or\n"
        "\"stderr\" as it was read, or \"exited\" with the RunResult. Immutable;\n"
        "instances come only from OutputStream.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<EventData>)},
    {Py_tp_getset, event_getset},
    {Py_tp_repr, reinterpret_cast<void*>(event_repr)},
    {0, nullptr},
};

PyType_Spec event_spec = {
    "quellar._native.OutputEvent",
    sizeof(Boxed<EventData>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    event_slots,
};

}  // namespace

PyObject* create_output_event_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &event_spec, nullptr);
}

PyOutcome to_python(ModuleState& state, Received received) {
  if (!received) {
    return {Ref::steal(PyObject_CallNoArgs(PyExc_StopAsyncIteration)), true};
  }
  StreamItem& item = *received;
  if (item.kind == StreamItem::Kind::Error) {
    if (!item.error) return {worker_failure("a stream error item without its error"), true};
    return {to_py_error(std::move(*item.error)), true};
  }
  Ref result;
  if (item.result) {
    StreamResult& final = *item.result;
    result = new_run_result(state.run_result_type,
                            from_receipt(final.receipt, std::move(final.stdout_bytes),
                                         std::move(final.stderr_bytes)));
    if (!result) return {};
  }
  return {box(state.output_event_type, EventData{item.kind, std::move(item.data), std::move(result)}),
          false};
}

}  // namespace quellar::py
