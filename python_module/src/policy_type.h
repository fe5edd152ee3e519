// Policy, the immutable containment a caller asks for: network, enforcement
// and optional filesystem grants.
#pragma once

#include "ref.h"

#include <string>
#include <string_view>

#include "policy.h"

namespace quellar::py {

// The class, for the module's execution step; null with an exception set.
PyObject* create_policy_type(PyObject* module);

const SandboxPolicy& policy_data(PyObject* policy);

// `text` as a double-quoted literal: backslash before " and \, the escapes
// \t \n \r \0, and \u{hex} for any other character that does not print on its
// own (controls, format and separator characters, unassigned code points,
// combining marks). Needs the interpreter lock for non-ASCII text, whose
// character classes come from Python's Unicode database.
std::string quoted_literal(std::string_view text);

}  // namespace quellar::py
