// stream(): converts and copies the arguments, hands the start of a stream to
// the core's runtime and returns a future of the running loop at once.
#include "stream_function.h"

#include <memory>
#include <variant>

#include "args.h"
#include "call_arguments.h"
#include "asyncio_bridge.h"
#include "command_type.h"
#include "events/stream.h"
#include "interpreter_exit.h"
#include "policy_type.h"
#include "supervisor/live_children.h"
#include "token_type.h"

namespace quellar::py {
namespace {

constexpr const char* kNames[] = {"command", "policy", "cancellation", "capture"};
constexpr Parameters kParameters{"stream", kNames, 1, 1};

// What the runtime calls once the child has started (or could not start),
// on a runtime thread. The queue reaches the loop as a QueueHandoff: if no
// OutputStream is made of it (the awaiter gave up, the loop closed), the
// stream stops the child that nobody will read.
class StreamDone {
 public:
  StreamDone(std::shared_ptr<LoopLink> link, Ref future, ExitLink exit_link)
      : link_(std::move(link)), future_(std::move(future)), exit_link_(std::move(exit_link)) {}
  StreamDone(StreamDone&&) noexcept = default;
  StreamDone& operator=(StreamDone&&) = delete;
  ~StreamDone() {
    if (link_ && future_) {
      link_->deliver(std::move(future_), TaskFailure{"the stream was dropped before it started"});
    }
  }

  void operator()(StreamStartOutcome outcome) {
    if (auto* queue = std::get_if<std::shared_ptr<StreamQueue>>(&outcome)) {
      QueueHandoff handoff(std::move(*queue));
      {
        PythonAccess access;
        if (!access) {
          // The exit hook has run, maybe before this child existed, and the
          // stream's graceful stop would be cut short by the process's end.
          terminate_all_children();
          return;
        }
      }
      link_->deliver(std::move(future_), std::move(handoff));
    } else if (auto* error = std::get_if<SandboxError>(&outcome)) {
      link_->deliver(std::move(future_), std::move(*error));
    } else {
      link_->deliver(std::move(future_), std::get<TaskFailure>(std::move(outcome)));
    }
  }

 private:
  std::shared_ptr<LoopLink> link_;
  Ref future_;  // moved only, without the interpreter lock
  ExitLink exit_link_;  // until the child exists, the exit hook stops the stream
};

PyObject* stream(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState& state = *state_of(module);
    PyObject* bound[std::size(kNames)];
    if (!bind(kParameters, args, nargs, kwnames, bound)) return nullptr;

    const CommandData* command = command_arg(state, kParameters, bound[0]);
    if (command == nullptr) return nullptr;
    const SandboxPolicy* policy = nullptr;
    if (!policy_arg(state, kParameters, bound[1], policy)) return nullptr;
    CancellationToken token;
    if (!token_arg(state, kParameters, bound[2], token)) return nullptr;
    bool capture = false;
    if (Arg arg{kParameters, "capture", bound[3]}; bound[3] != nullptr) {
      // Only a bool: a truthy object would hide a misplaced argument.
      if (!PyBool_Check(arg.value)) {
        arg.type_error("bool");
        return nullptr;
      }
      capture = arg.value == Py_True;
    }

    ExecutionRequest request = request_from(*command, policy);

    auto start = start_on_running_loop(state, state.run_future_type, token,
                                       "the interpreter is exiting: no stream can start");
    if (!start) return nullptr;

    PyObject* returned = Ref(start->future).release();
    StreamDone done(std::move(start->link), std::move(start->future), std::move(start->exit_link));
    {
      // As for run(): the runtime may need a lock that one of its threads
      // holds while waiting for the interpreter lock.
      GilRelease unlocked;
      start_stream(std::move(request), std::move(token), capture, std::move(done));
    }
    return returned;
  });
}

}  // namespace

PyMethodDef stream_defs[] = {
    {"stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream)),
     METH_FASTCALL | METH_KEYWORDS,
     "stream(command, *, policy=None, cancellation=None, capture=False)\n--\n\n"
     "Starts command under supervision and returns an awaitable of its\n"
     "OutputStream, whose events follow the child live. The child starts at\n"
     "once, with its standard input closed. The time limit and a cancellation\n"
     "(the token, OutputStream.cancel() or aclose(), or the awaitable cancelled\n"
     "before it holds the stream) stop it gracefully (its\n"
     "group gets SIGTERM after 125 ms, SIGKILL after 250 ms) and end the\n"
     "iteration with an \"exited\" event. With capture, the final RunResult also\n"
     "holds all the output.\n\n"
     "Raises at the call: TypeError for an argument of the wrong type, and\n"
     "RuntimeError when no asyncio event loop is running in this thread or the\n"
     "interpreter is exiting.\n"
     "Raises when awaited: SupervisorError when the command cannot be validated or\n"
     "started, RuntimeError when the runtime's worker failed."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quellar::py
