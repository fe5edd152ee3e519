#pragma once

#include "ref.h"

namespace quellar::py {

// run(), for PyModule_AddFunctions (sentinel-terminated).
extern PyMethodDef run_defs[];

}  // namespace quellar::py
