#pragma once

#include "ref.h"

namespace quellar::py {

// platform_capabilities(), for PyModule_AddFunctions (sentinel-terminated).
extern PyMethodDef platform_capabilities_defs[];

}  // namespace quellar::py
