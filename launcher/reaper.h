// The launcher's processes between the supervisor and the program. They run
// no untrusted code; they relay signals down and the program's exit status
// up, and make sure nothing the program started outlives it.
//
//   supervisor
//    └ launcher      relays signals, keeps the pid, group and exit status
//       └ init       reaps, relays
//          └ program
//
// The launcher keeps the pid, the process group and the exit status the
// supervisor knows. It forwards every signal it receives (a group signal
// from the supervisor: SIGTERM for a graceful stop) to the init, which
// forwards it to the program's process group. When the program ends, the
// init makes sure nothing it started is left, hands its wait status up and
// exits; the launcher then ends the way the program did.
//
// With namespaces the init is pid 1 of the run's PID namespace: its exit
// makes the kernel kill every process left there, and a SIGKILL of the
// launcher kills the init (parent-death signal), whose death kills the rest.
// Without them (no privilege for namespaces) the init is a subreaper: the
// program's orphans come to it, it kills them when the program ends, and the
// launcher's death reaches it as a signal it can act on (SIGTERM), so that it
// kills them then too.
#pragma once

#include <signal.h>
#include <sys/types.h>

namespace quellar::sandbox {

// Every signal this process can block, blocked, so that none is lost between
// the forks and the loops that wait for them (the set is inherited).
void block_signals();
// The program starts with an empty signal mask, as the supervisor spawned it.
void unblock_signals();

enum class ParentWatch { Armed, ParentGone, Failed };

// Asks for `signal` when the parent dies: Armed, or ParentGone when the
// parent has died already (`parent_end` is a pipe end whose other end only
// the parent holds, or -1 when there is none), or Failed (errno says why).
ParentWatch die_with_parent(int parent_end, int signal = SIGKILL);

// The launcher's loop while the init runs the program. Relays signals to
// `init`; once it has ended, ends as the program did (its wait status comes
// on `relay`), or as the init did when it ended without saying.
[[noreturn]] void supervise_init(pid_t init, int relay);

// The init's loop: relays signals to the program's group and reaps whatever
// is orphaned until the program has ended or the launcher has died (its
// parent is no longer `launcher`, as getppid() said before the init asked
// for its parent-death signal); then, unless it is pid 1 of a namespace
// (`namespaced`), kills every descendant left; writes the program's wait
// status to `relay` if it has one, and exits.
[[noreturn]] void serve_as_init(pid_t program, int relay, pid_t launcher, bool namespaced);

}  // namespace quellar::sandbox
