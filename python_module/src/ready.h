// An awaitable whose outcome is already known: awaiting it returns the value
// or raises the exception on the spot. OutputStream hands one out when the
// next item is already waiting, which spares the two thread hops and the
// event-loop round of a future settled through call_soon_threadsafe.
#pragma once

#include "ref.h"

namespace quellar::py {

// The class, for the module's execution step (kept in the module state, not
// added to the module); null with an exception set.
PyObject* create_ready_type(PyObject* module);

// A new awaitable of `type` giving `outcome`: raised when `is_exception`
// (an exception instance), returned otherwise. Null with an exception set.
Ref new_ready(PyTypeObject* type, Ref outcome, bool is_exception);

}  // namespace quellar::py
