#include "args.h"

namespace quellar::py {
namespace {

Ref type_name(PyObject* object) {
  return Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
}

// Index of the parameter called `keyword`, or -1.
Py_ssize_t find(const Parameters& parameters, PyObject* keyword) {
  for (std::size_t i = 0; i < parameters.names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, parameters.names[i]) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

bool check_positional(const Parameters& parameters, Py_ssize_t given) {
  if (static_cast<std::size_t>(given) <= parameters.positional) return true;
  if (parameters.positional == 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", parameters.function);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)",
                 parameters.function, parameters.positional,
                 parameters.positional == 1 ? "" : "s", given);
  }
  return false;
}

bool bind_keyword(const Parameters& parameters, PyObject* keyword, PyObject* value,
                  PyObject** out) {
  if (!PyUnicode_Check(keyword)) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", parameters.function);
    return false;
  }
  Py_ssize_t index = find(parameters, keyword);
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                 parameters.function, keyword);
    return false;
  }
  if (out[index] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                 parameters.function, parameters.names[index]);
    return false;
  }
  out[index] = value;
  return true;
}

bool check_required(const Parameters& parameters, PyObject** out) {
  for (std::size_t i = 0; i < parameters.required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                   parameters.function, parameters.names[i], i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace

bool bind(const Parameters& parameters, PyObject* args, PyObject* kwargs, PyObject** out) {
  for (std::size_t i = 0; i < parameters.names.size(); ++i) out[i] = nullptr;
  Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
  if (given < 0 || !check_positional(parameters, given)) return false;
  for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
      if (!bind_keyword(parameters, keyword, value, out)) return false;
    }
  }
  return check_required(parameters, out);
}

bool bind(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject** out) {
  for (std::size_t i = 0; i < parameters.names.size(); ++i) out[i] = nullptr;
  if (!check_positional(parameters, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!bind_keyword(parameters, PyTuple_GetItem(kwnames, i), args[nargs + i], out)) {
        return false;
      }
    }
  }
  return check_required(parameters, out);
}

std::nullopt_t Arg::type_error(const char* expected, PyObject* culprit) const {
  Ref name = type_name(culprit);
  if (name) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %U", owner.function,
                 this->name, expected, name.get());
  }
  return std::nullopt;
}

std::nullopt_t Arg::value_error(const char* what) const {
  PyErr_Format(PyExc_ValueError, "%s() argument '%s' %s", owner.function, name, what);
  return std::nullopt;
}

std::optional<std::string> utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<std::string> text_arg(const Arg& arg) {
  if (!PyUnicode_Check(arg.value)) return arg.type_error("str");
  return utf8_of(arg.value);
}

std::optional<std::vector<std::string>> text_sequence_arg(const Arg& arg, const char* expected) {
  if (PyUnicode_Check(arg.value) || !PySequence_Check(arg.value)) {
    return arg.type_error(expected);
  }
  // A tuple snapshot: a list mutated by a codec callback cannot shift under us.
  Ref items = Ref::steal(PySequence_Tuple(arg.value));
  if (!items) return std::nullopt;
  Py_ssize_t count = PyTuple_Size(items.get());
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GetItem(items.get(), i);
    if (!PyUnicode_Check(item)) return arg.type_error(expected, item);
    auto text = utf8_of(item);
    if (!text) return std::nullopt;
    out.push_back(std::move(*text));
  }
  return out;
}

std::optional<std::map<std::string, std::string>> text_map_arg(const Arg& arg) {
  static constexpr const char* kExpected = "a dict of str to str or None";
  if (!PyDict_Check(arg.value)) return arg.type_error(kExpected);
  std::map<std::string, std::string> out;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(arg.value, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) return arg.type_error(kExpected, key);
    if (!PyUnicode_Check(value)) return arg.type_error(kExpected, value);
    auto name = utf8_of(key);
    if (!name) return std::nullopt;
    auto text = utf8_of(value);
    if (!text) return std::nullopt;
    out.insert_or_assign(std::move(*name), std::move(*text));
  }
  return out;
}

std::optional<std::string> path_arg(const Arg& arg, const char* expected) {
  Ref path = Ref::steal(PyOS_FSPath(arg.value));
  if (!path) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      return arg.type_error(expected);
    }
    return std::nullopt;
  }
  // Paths travel as text through this interface; bytes paths are refused
  // like any other type so that one spelling of a path exists.
  if (!PyUnicode_Check(path.get())) return arg.type_error(expected, path.get());
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) return std::nullopt;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<double> real_arg(const Arg& arg) {
  double value = PyFloat_AsDouble(arg.value);
  if (value == -1.0 && PyErr_Occurred()) {
    // Overflow of a huge int and the like are the interpreter's own errors;
    // only a type mismatch is reported against the parameter.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
    PyErr_Clear();
    return arg.type_error("a real number");
  }
  return value;
}

std::optional<std::uint64_t> size_arg(const Arg& arg) {
  Ref index = Ref::steal(PyNumber_Index(arg.value));
  if (!index) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
    PyErr_Clear();
    return arg.type_error("int");
  }
  std::size_t value = PyLong_AsSize_t(index.get());
  if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) return std::nullopt;
  return static_cast<std::uint64_t>(value);
}

Ref path_text(std::string_view path) {
  return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

}  // namespace quellar::py
