// Argument binding and conversion for the extension's callables. The limited
// API has no keyword-argument parser for the fast calling convention, and
// PyArg_ParseTupleAndKeywords cannot name the parameter in its type errors
// the way callers need, so binding is done here, once, for every callable.
//
// Conversions return std::nullopt with a Python exception set; a TypeError
// always names the function and the parameter.
#pragma once

#include "ref.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quellar::py {

// What a callable accepts: its parameter names in order, how many of the
// first ones may be passed by position, how many of the first ones are
// required. Every parameter may be passed by keyword.
struct Parameters {
  const char* function;  // "run", "Command": messages say "run()"
  std::span<const char* const> names;
  std::size_t positional;
  std::size_t required;
};

// Binds a call to `out`, one borrowed pointer per parameter, null for those
// not passed. False with TypeError set when the call does not fit.
// The tuple-and-dict form (tp_new), then the fast calling convention.
bool bind(const Parameters& parameters, PyObject* args, PyObject* kwargs, PyObject** out);
bool bind(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject** out);

// One bound argument, with what messages about it need.
struct Arg {
  const Parameters& owner;
  const char* name;
  PyObject* value;  // borrowed, never null

  bool is_none() const { return value == Py_None; }

  // TypeError "<function>() argument '<name>' must be <expected>, not <type of value>".
  std::nullopt_t type_error(const char* expected) const { return type_error(expected, value); }
  // The same, naming the type of `culprit` (an element of a container argument).
  std::nullopt_t type_error(const char* expected, PyObject* culprit) const;
  std::nullopt_t value_error(const char* what) const;
};

// UTF-8 text of a str; std::nullopt with the codec's error for lone surrogates.
std::optional<std::string> utf8_of(PyObject* text);

// str only.
std::optional<std::string> text_arg(const Arg& arg);
// A sequence of str; a single str is refused rather than split into characters.
std::optional<std::vector<std::string>> text_sequence_arg(const Arg& arg, const char* expected);
// A dict of str to str.
std::optional<std::map<std::string, std::string>> text_map_arg(const Arg& arg);
// A str or os.PathLike giving a str, as the host's path bytes (the file system
// encoding with surrogateescape, so any path of the host round-trips).
std::optional<std::string> path_arg(const Arg& arg, const char* expected);
// Anything Python can convert to a float.
std::optional<double> real_arg(const Arg& arg);
// A non-negative int fitting a machine word; OverflowError beyond that.
std::optional<std::uint64_t> size_arg(const Arg& arg);

// A host path (bytes) as the str Python would give for it (os.fsdecode).
Ref path_text(std::string_view path);

}  // namespace quellar::py
