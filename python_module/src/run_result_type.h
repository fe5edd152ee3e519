// RunResult: how a run ended and what it printed. Built from the core's
// records without the interpreter lock; boxed into a Python object with it.
#pragma once

#include "ref.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "policy.h"

namespace quellar::py {

struct RunResultData {
  ByteBuffer stdout_bytes;
  ByteBuffer stderr_bytes;
  std::string_view termination;  // static storage, from termination_fields
  std::string_view enforcement;  // static storage, from enforcement_name
  std::string requested_executable;  // display text
  std::optional<std::string> canonical_executable;
  std::optional<std::int32_t> exit_code;
  std::optional<std::int32_t> signal;
  bool success = false;
};

// The result of a finished run; the output's buffers are moved.
RunResultData from_output(ExecutionOutput output);

// The final result of a stream: its receipt and what was captured.
RunResultData from_receipt(const ProcessReceipt& receipt, ByteBuffer stdout_bytes,
                           ByteBuffer stderr_bytes);

// The class, for the module's execution step; null with an exception set.
PyObject* create_run_result_type(PyObject* module);

// A new RunResult instance; needs the interpreter lock.
Ref new_run_result(PyTypeObject* type, RunResultData data);

}  // namespace quellar::py
