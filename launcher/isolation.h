// The namespaces that keep a contained run's processes to themselves: a PID
// namespace (nothing outlives the run: when its first process, our reaper,
// ends, the kernel kills every process left in it), a mount namespace (a
// /proc showing only those processes), an IPC namespace (SysV objects of
// their own) and, with the network disabled, an empty network namespace (no
// abstract socket names shared with the host). Without the privilege to
// create them directly, a user namespace comes first.
#pragma once

#include "failure.h"

namespace quellar::sandbox {

// Moves this process into whatever new namespaces the kernel grants it, all
// or nothing per attempt: with the network disabled, all four; failing that,
// all but the network; failing that, none. True when it got them (the next
// child this process forks is the PID namespace's init); false when the
// caller must do without (the init is then a subreaper). Fails only when a
// user namespace was entered but the caller's identity could not be mapped
// into it. Must run while the process has one thread.
Result<bool> isolate(bool disable_network);

// Mounts a fresh procfs on /proc, without letting the mount reach the
// host's mount table. For the init of a new PID namespace inside a new mount
// namespace: the new /proc shows that PID namespace only. False when the
// kernel refuses (an unprivileged user namespace may not mount over a /proc
// that has parts hidden by other mounts).
bool mount_own_proc();

}  // namespace quellar::sandbox
