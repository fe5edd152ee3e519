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

  int traverse(visitproc visit, void* arg) {
    Py_VISIT(result.get());
    return 0;
  }
  void clear() { result.reset(); }
};

const EventData& data_of(PyObject* self) { return unbox<EventData>(self); }

int kind_index(StreamItem::Kind kind) {
  switch (kind) {
    case StreamItem::Kind::Started:
      return 0;
    case StreamItem::Kind::Stdout:
      return 1;
    case StreamItem::Kind::Stderr:
      return 2;
    default:
      return 3;
  }
}

PyObject* get_kind(PyObject* self, void*) {
  return Ref::borrow(state_of(Py_TYPE(self))->kind_names[kind_index(data_of(self).kind)]).release();
}

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
    Ref kind = Ref::steal(get_kind(self, nullptr));
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
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_gc_dealloc<EventData>)},
    {Py_tp_traverse, reinterpret_cast<void*>(boxed_traverse<EventData>)},
    {Py_tp_clear, reinterpret_cast<void*>(boxed_clear<EventData>)},
    {Py_tp_getset, event_getset},
    {Py_tp_repr, reinterpret_cast<void*>(event_repr)},
    {0, nullptr},
};

PyType_Spec event_spec = {
    "quellar._native.OutputEvent",
    sizeof(Boxed<EventData>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    event_slots,
};

Ref result_of(ModuleState& state, StreamResult& result) {
  return new_run_result(state.run_result_type,
                        from_receipt(result.receipt, std::move(result.stdout_bytes),
                                     std::move(result.stderr_bytes)));
}

}  // namespace

PyObject* create_output_event_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &event_spec, nullptr);
}

Settlement or_raised(Settlement settled) {
  if (!settled.value) {
    settled.value = take_exception();
    settled.is_exception = true;
  }
  return settled;
}

void finish_with(const Settlement& settled) {
  if (settled.is_exception) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(settled.value.get())), settled.value.get());
    return;
  }
  Ref stop = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_StopIteration, settled.value.get(), nullptr));
  if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
}

Settlement to_python(ModuleState& state, Received received) {
  if (!received) return {Ref::steal(PyObject_CallNoArgs(PyExc_StopAsyncIteration)), true};
  StreamItem& item = *received;
  if (item.kind == StreamItem::Kind::Error) {
    if (!item.error) return {worker_failure("a stream error item without its error"), true};
    return {to_py_error(std::move(*item.error)), true};
  }
  Ref result;
  if (item.result) {
    result = result_of(state, *item.result);
    if (!result) return {};
  }
  const bool holds_reference = static_cast<bool>(result);
  Ref event = box(state.output_event_type, EventData{item.kind, std::move(item.data), std::move(result)});
  // An event without a result holds no reference and can be in no cycle:
  // the collector need not look at it (most events are chunks).
  if (event && !holds_reference) PyObject_GC_UnTrack(event.get());
  return {std::move(event), false};
}

Settlement collected_to_python(ModuleState& state, Collected collected) {
  if (auto* error = std::get_if<SandboxError>(&collected)) return {to_py_error(std::move(*error)), true};
  if (auto* result = std::get_if<StreamResult>(&collected)) return {result_of(state, *result), false};
  return {none(), false};
}

}  // namespace quellar::py
