// platform_capabilities(): which containment features this build offers on
// its host. Fixed for the build; nothing is probed per call.
#include "capabilities.h"

namespace quellar::py {
namespace {

struct Capability {
  const char* key;
  bool value;
};

#if defined(__APPLE__)
// sandbox-exec enforces both the filesystem grants and the network switch.
constexpr bool kFilesystemIsolation = true;
constexpr bool kNetworkIsolation = true;
#else
// The Linux launcher (Landlock and seccomp) is not wired in yet: until it
// is, a policy asking for isolation cannot be enforced here, and saying
// otherwise would let a caller believe it runs contained.
constexpr bool kFilesystemIsolation = false;
constexpr bool kNetworkIsolation = false;
#endif

// Insertion order is the order callers iterate in.
constexpr Capability kCapabilities[] = {
    {"host_network", true},
    {"network_isolation", kNetworkIsolation},
    {"network_isolation_requires_filesystem", false},
    {"graceful_shutdown", true},
    {"process_group_cleanup", true},
    // Nothing kills a child when the interpreter process itself dies.
    {"parent_death_cleanup", false},
    {"filesystem_isolation", kFilesystemIsolation},
    {"memory_limits", false},
    {"process_limits", false},
    {"cpu_limits", false},
};

PyObject* platform_capabilities(PyObject*, PyObject*) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  Ref containment = text("degraded");
  if (!containment || PyDict_SetItemString(dict.get(), "containment", containment.get()) < 0) {
    return nullptr;
  }
  for (const Capability& capability : kCapabilities) {
    PyObject* value = capability.value ? Py_True : Py_False;
    if (PyDict_SetItemString(dict.get(), capability.key, value) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace

PyMethodDef platform_capabilities_defs[] = {
    {"platform_capabilities", platform_capabilities, METH_NOARGS,
     "platform_capabilities()\n--\n\n"
     "A new dict describing the containment this build offers on this host:\n"
     "\"containment\" (the host-wide level, \"degraded\") and ten booleans. Raises\n"
     "only what the interpreter raises when the dict cannot be built."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quellar::py
