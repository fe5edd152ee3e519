// The launcher's processes between the supervisor and the program. They run
// no untrusted code; they relay signals down and the program's exit status
// up, and make sure nothing the program started outlives it.
//
// With namespaces:                      Without (no privilege for them):
//
//   supervisor                            supervisor
//    └ launcher      relays signals        └ launcher    subreaper, relays
//       └ init (1)   reaps, relays            └ program    signals; kills what
//          └ program                                       is left at the end
//
// The launcher keeps the pid, the process group and the exit status the
// supervisor knows. It forwards every signal it receives (a group signal
// from the supervisor: SIGTERM for a graceful stop) to the init, which
// forwards it to the program's process group. When the program ends, the
// init hands its wait status up and exits, and the kernel kills every
// process left in the PID namespace; the launcher then ends the way the
// program did. A SIGKILL reaches only the launcher: its death kills the init
// (parent-death signal), whose death kills the rest.
#pragma once

#include <sys/types.h>

namespace quellar::sandbox {

// Every signal this process can block, blocked, so that none is lost between
// the forks and the loops that wait for them (the set is inherited).
void block_signals();
// The program starts with an empty signal mask, as the supervisor spawned it.
void unblock_signals();

// Asks for SIGKILL when the parent dies. False when the parent has died
// already (`parent_end` is a pipe end whose other end only the parent holds,
// or -1 when there is none).
bool die_with_parent(int parent_end);

// The launcher's loop while an init runs the program. Relays signals to
// `init`; once it has ended, ends as the program did (its wait status comes
// on `relay`), or by SIGKILL when the init died without saying.
[[noreturn]] void supervise_init(pid_t init, int relay);

// The init's loop (pid 1 of the namespace): relays signals to the program's
// group, reaps whatever is orphaned, and once the program has ended, writes
// its wait status to `relay` and exits.
[[noreturn]] void serve_as_init(pid_t program, int relay);

// The launcher's loop without namespaces: a subreaper that relays signals to
// the program's group and, when the program has ended, kills whatever of its
// descendants is left before ending as the program did.
[[noreturn]] void supervise_program(pid_t program);

}  // namespace quellar::sandbox
