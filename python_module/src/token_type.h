// CancellationToken: Python's handle on a core cancellation token. Every run
// given the token holds another handle on the same shared state.
#pragma once

#include "ref.h"

#include "cancellation.h"

namespace quellar::py {

// The class, for the module's execution step; null with an exception set.
PyObject* create_token_type(PyObject* module);

const CancellationToken& token_data(PyObject* token);

}  // namespace quellar::py
