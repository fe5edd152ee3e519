// platform_capabilities(): which containment features this build offers on
// its host. The one probe (is the launcher usable?) runs once per process.
#include "capabilities.h"

#include "platform/launcher.h"

namespace quellar::py {
namespace {

struct Capability {
  const char* key;
  bool value;
};

// Whether a Policy asking for filesystem or network isolation is enforced.
// macOS: sandbox-exec is part of the system and enforces both. Linux: our
// launcher (Landlock and seccomp) enforces both when it is installed next to
// this module and the kernel has Landlock; the probe looks once and caches,
// so every call returns the same answer.
bool host_isolation() {
#if defined(__APPLE__)
  return true;
#else
  return platform::isolation_available();
#endif
}

// Whether a contained run dies with this process, even when it is killed
// outright: on Linux the launcher keeps each run in a PID namespace whose
// processes die with it, and it dies with us; macOS has nothing of the kind.
// (An uncontained run is the caller's own process group, and outlives a
// process that cannot signal it any more.)
bool host_parent_death_cleanup() { return platform::contained_runs_die_with_supervisor(); }

PyObject* platform_capabilities(PyObject*, PyObject*) {
  const bool isolation = host_isolation();
  // Insertion order is the order callers iterate in.
  const Capability capabilities[] = {
      {"host_network", true},
      {"network_isolation", isolation},
      {"network_isolation_requires_filesystem", false},
      {"graceful_shutdown", true},
      {"process_group_cleanup", true},
      {"parent_death_cleanup", host_parent_death_cleanup()},
      {"filesystem_isolation", isolation},
      {"memory_limits", false},
      {"process_limits", false},
      {"cpu_limits", false},
  };
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  Ref containment = text("degraded");
  if (!containment || PyDict_SetItemString(dict.get(), "containment", containment.get()) < 0) {
    return nullptr;
  }
  for (const Capability& capability : capabilities) {
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
