#include "command_type.h"

#include <cmath>

#include "args.h"
#include "boxed.h"
#include "environment.h"

namespace quellar::py {
namespace {

constexpr const char* kNames[] = {"argv",    "cwd",             "env",
                                  "inherit_env", "timeout",     "max_stdin_bytes",
                                  "max_stdout_bytes", "max_stderr_bytes"};
constexpr Parameters kParameters{"Command", kNames, 1, 1};

constexpr const char* kTextSequence = "a sequence of str";

// Every argument is converted before any value is checked, so a wrong type
// anywhere is reported as such even when another value is also wrong.
std::optional<CommandData> convert(PyObject* const* bound) {
  CommandData data;
  double timeout = 5.0;

  auto argv = text_sequence_arg({kParameters, "argv", bound[0]}, kTextSequence);
  if (!argv) return std::nullopt;
  data.argv = std::move(*argv);

  if (Arg arg{kParameters, "cwd", bound[1]}; bound[1] != nullptr && !arg.is_none()) {
    auto cwd = path_arg(arg, "str, os.PathLike or None");
    if (!cwd) return std::nullopt;
    data.cwd = std::move(*cwd);
  }
  if (Arg arg{kParameters, "env", bound[2]}; bound[2] != nullptr && !arg.is_none()) {
    auto env = text_map_arg(arg);
    if (!env) return std::nullopt;
    data.env = std::move(*env);
  }
  if (Arg arg{kParameters, "inherit_env", bound[3]}; bound[3] != nullptr && !arg.is_none()) {
    auto names = text_sequence_arg(arg, "a sequence of str or None");
    if (!names) return std::nullopt;
    data.inherit_env.insert(names->begin(), names->end());
  }
  if (bound[4] != nullptr) {
    auto seconds = real_arg({kParameters, "timeout", bound[4]});
    if (!seconds) return std::nullopt;
    timeout = *seconds;
  }
  std::uint64_t* limits[] = {&data.max_stdin_bytes, &data.max_stdout_bytes,
                             &data.max_stderr_bytes};
  for (int i = 0; i < 3; ++i) {
    if (bound[5 + i] == nullptr) continue;
    auto limit = size_arg({kParameters, kNames[5 + i], bound[5 + i]});
    if (!limit) return std::nullopt;
    *limits[i] = *limit;
  }

  if (data.argv.empty() || data.argv.front().empty()) {
    PyErr_SetString(PyExc_ValueError, "argv must contain an executable");
    return std::nullopt;
  }
  auto timeout_ms = timeout_ms_from_seconds(timeout);
  if (!timeout_ms) {
    PyErr_SetString(PyExc_ValueError, "timeout must be a finite positive number of seconds");
    return std::nullopt;
  }
  data.timeout_ms = *timeout_ms;
  if (data.max_stdin_bytes == 0 || data.max_stdout_bytes == 0 || data.max_stderr_bytes == 0) {
    PyErr_SetString(PyExc_ValueError, "byte limits must be greater than zero");
    return std::nullopt;
  }
  return data;
}

PyObject* command_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[std::size(kNames)];
    if (!bind(kParameters, args, kwargs, bound)) return nullptr;
    auto data = convert(bound);
    if (!data) return nullptr;
    return box(type, std::move(*data)).release();
  });
}

PyObject* get_argv(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto& argv = command_data(self).argv;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(argv.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < argv.size(); ++i) {
      Ref item = text(argv[i]);
      if (!item) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals
    }
    return list.release();
  });
}

PyObject* get_cwd(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto& cwd = command_data(self).cwd;
    if (!cwd) return none().release();
    Ref pathlib = Ref::steal(PyImport_ImportModule("pathlib"));
    if (!pathlib) return nullptr;
    Ref path_class = Ref::steal(PyObject_GetAttrString(pathlib.get(), "Path"));
    Ref path = path_text(*cwd);
    if (!path_class || !path) return nullptr;
    return PyObject_CallFunctionObjArgs(path_class.get(), path.get(), nullptr);
  });
}

PyGetSetDef command_getset[] = {
    {"argv", get_argv, nullptr, "The command line, as a new list of str.", nullptr},
    {"cwd", get_cwd, nullptr, "The working directory as a pathlib.Path, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot command_slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "Command(argv, *, cwd=None, env=None, inherit_env=None, timeout=5.0, "
        "max_stdin_bytes=65536, max_stdout_bytes=65536, max_stderr_bytes=16384)\n--\n\n"
        "One command to run: its argv (the first element is the executable), working\n"
        "directory, environment (built from nothing: env, plus the inherit_env names\n"
        "copied from this process), time limit in seconds and byte limits for\n"
        "standard input, output and error. Immutable.\n\n"
        "Raises TypeError for an argument of the wrong type (a str argv included),\n"
        "OverflowError for a negative or oversized byte limit, and ValueError for an\n"
        "empty argv or executable, a timeout that is not a finite positive number,\n"
        "or a byte limit of zero.")},
    {Py_tp_new, reinterpret_cast<void*>(command_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<CommandData>)},
    {Py_tp_getset, command_getset},
    {0, nullptr},
};

PyType_Spec command_spec = {
    "quellar._native.Command",
    sizeof(Boxed<CommandData>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    command_slots,
};

}  // namespace

PyObject* create_command_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &command_spec, nullptr);
}

const CommandData& command_data(PyObject* command) { return unbox<CommandData>(command); }

std::optional<std::uint64_t> timeout_ms_from_seconds(double seconds) noexcept {
  constexpr double kTwoTo64 = 18446744073709551616.0;
  // `seconds <= 0.0` also holds for negative zero.
  if (!std::isfinite(seconds) || seconds <= 0.0) return std::nullopt;
  double ms = seconds * 1000.0;
  if (ms > kTwoTo64) return std::nullopt;
  double rounded = std::ceil(ms);
  if (rounded >= kTwoTo64) return UINT64_MAX;
  return static_cast<std::uint64_t>(rounded);
}

ExecutionRequest request_from(const CommandData& command, const SandboxPolicy* policy) {
  ExecutionRequest request;
  request.executable = command.argv.front();
  request.args.assign(command.argv.begin() + 1, command.argv.end());
  request.cwd = command.cwd;
  request.environment.variables = command.env;
  request.environment.inherited_names = command.inherit_env;
  // Here, with the interpreter lock: os.environ changes hold it too, while a
  // runtime thread reading the environment would race them.
  read_inherited_environment(request.environment);
  request.timeout_ms = command.timeout_ms;
  request.max_stdin_bytes = command.max_stdin_bytes;
  request.max_stdout_bytes = command.max_stdout_bytes;
  request.max_stderr_bytes = command.max_stderr_bytes;
  // The Python interface offers no kernel resource limits: all stay absent.
  if (policy != nullptr) request.policy = *policy;
  return request;
}

}  // namespace quellar::py
