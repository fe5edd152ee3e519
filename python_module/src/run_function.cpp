// run(): converts and copies the arguments, hands one supervised run to the
// core's runtime and returns a future of the running loop at once.
#include "run_function.h"

#include <memory>
#include <variant>

#include "args.h"
#include "asyncio_bridge.h"
#include "call_arguments.h"
#include "command_type.h"
#include "interpreter_exit.h"
#include "policy_type.h"
#include "run_result_type.h"
#include "supervisor/run.h"
#include "token_type.h"

namespace quellar::py {
namespace {

constexpr const char* kNames[] = {"command", "policy", "input", "cancellation"};
constexpr Parameters kParameters{"run", kNames, 1, 1};

// What the runtime calls when the run is over, on a runtime thread. It owns
// the cancellation guard: work that ends without a result (an error, a
// failed task) cancels the token, so a caller's token reports the run as
// stopped and later runs holding it stop at once.
class RunDone {
 public:
  RunDone(std::shared_ptr<LoopLink> link, Ref future, CancellationToken token, ExitLink exit_link)
      : link_(std::move(link)),
        future_(std::move(future)),
        guard_(std::make_unique<CancelOnDrop>(std::move(token))),
        exit_link_(std::move(exit_link)) {}
  RunDone(RunDone&&) noexcept = default;
  RunDone& operator=(RunDone&&) = delete;

  // Work dropped without an outcome still settles its future.
  ~RunDone() {
    if (link_ && future_) deliver(TaskFailure{"the run was dropped before it finished"});
  }

  void operator()(RunOutcome outcome) {
    if (auto* output = std::get_if<ExecutionOutput>(&outcome)) {
      guard_->disarm();
      // Converted here, without the interpreter lock: only the boxing needs it.
      deliver(from_output(std::move(*output)));
    } else if (auto* error = std::get_if<SandboxError>(&outcome)) {
      deliver(std::move(*error));
    } else {
      deliver(std::get<TaskFailure>(std::move(outcome)));
    }
  }

 private:
  void deliver(RunDelivery outcome) {
    // The token is cancelled before the future settles, so an awaiter that
    // wakes up with the exception already sees cancelled() true.
    guard_.reset();
    link_->deliver(std::move(future_), std::move(outcome));
  }

  std::shared_ptr<LoopLink> link_;
  Ref future_;  // moved only, without the interpreter lock
  std::unique_ptr<CancelOnDrop> guard_;
  ExitLink exit_link_;  // released with the work, on whichever thread drops it
};

PyObject* run(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState& state = *state_of(module);
    PyObject* bound[std::size(kNames)];
    if (!bind(kParameters, args, nargs, kwnames, bound)) return nullptr;

    const CommandData* command = command_arg(state, kParameters, bound[0]);
    if (command == nullptr) return nullptr;
    const SandboxPolicy* policy = nullptr;
    if (!policy_arg(state, kParameters, bound[1], policy)) return nullptr;
    Bytes input;
    if (Arg arg{kParameters, "input", bound[2]}; bound[2] != nullptr && !arg.is_none()) {
      // Only bytes: a mutable buffer could change while the run reads it.
      if (!PyBytes_Check(arg.value)) {
        arg.type_error("bytes or None");
        return nullptr;
      }
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(arg.value, &data, &size) < 0) return nullptr;
      input.assign(data, static_cast<std::size_t>(size));
    }
    CancellationToken token;
    if (!token_arg(state, kParameters, bound[3], token)) return nullptr;

    ExecutionRequest request = request_from(*command, policy);

    auto start = start_on_running_loop(state, state.run_future_type, token,
                                       "the interpreter is exiting: no run can start");
    if (!start) return nullptr;

    PyObject* returned = Ref(start->future).release();
    RunDone done(std::move(start->link), std::move(start->future), token, std::move(start->exit_link));
    {
      // The runtime may need a lock that one of its threads holds while
      // waiting for the interpreter lock.
      GilRelease unlocked;
      start_run(std::move(request), std::move(input), std::move(token), std::move(done));
    }
    return returned;
  });
}

}  // namespace

PyMethodDef run_defs[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)),
     METH_FASTCALL | METH_KEYWORDS,
     "run(command, *, policy=None, input=None, cancellation=None)\n--\n\n"
     "Runs command under supervision and returns an awaitable of its RunResult.\n"
     "The run starts at once, whether or not the awaitable is awaited. input is\n"
     "written to the child's standard input (None: closed at once). Cancelling\n"
     "the token, or the task awaiting the result, kills the child's process group;\n"
     "so does the closing of the event loop the run was started on.\n\n"
     "Raises at the call: TypeError for an argument of the wrong type, and\n"
     "RuntimeError when no asyncio event loop is running in this thread or the\n"
     "interpreter is exiting.\n"
     "Raises when awaited: SupervisorError when the command cannot be validated,\n"
     "started or supervised (the token, if any, is then cancelled), RuntimeError\n"
     "when the runtime's worker failed. A timeout, a cancellation, an output limit,\n"
     "a non-zero exit or a signal are not errors: the RunResult says so."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quellar::py
