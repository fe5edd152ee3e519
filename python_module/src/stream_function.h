// stream(): starts a command under supervision and gives its events to
// Python as an OutputStream.
#pragma once

#include "ref.h"

namespace quellar::py {

extern PyMethodDef stream_defs[];

}  // namespace quellar::py
