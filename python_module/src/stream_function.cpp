// stream(): converts and copies the arguments, hands the start of a stream to
// the core's runtime and returns a future of the running loop at once.
#include "stream_function.h"

#include <memory>
#include <variant>

#include "args.h"
#include "call_arguments.h"
#include "asyncio_bridge.h"
#include "command_type.h"
#include "error_translation.h"
#include "events/stream.h"
#include "interpreter_exit.h"
#include "output_stream_type.h"
#include "policy_type.h"
#include "supervisor/run.h"
#include "token_type.h"

namespace quellar::py {
namespace {

constexpr const char* kNames[] = {"command", "policy", "cancellation", "capture"};
constexpr Parameters kParameters{"stream", kNames, 1, 1};

// Until an OutputStream owns the receiving side, whoever holds the channel
// releases it: the driver then stops the child that nobody will read.
class ReceiverGuard {
 public:
  explicit ReceiverGuard(std::shared_ptr<StreamChannel> channel) : channel_(std::move(channel)) {}
  ReceiverGuard(const ReceiverGuard&) = delete;
  ReceiverGuard& operator=(const ReceiverGuard&) = delete;
  ~ReceiverGuard() {
    if (channel_) channel_->release_receiver();
  }
  const std::shared_ptr<StreamChannel>& channel() const { return channel_; }
  void dismiss() { channel_.reset(); }

 private:
  std::shared_ptr<StreamChannel> channel_;
};

// What the runtime calls once the child has started (or could not start).
class StreamDone {
 public:
  StreamDone(PendingFuture future, ExitLink exit_link)
      : future_(std::move(future)), exit_link_(std::move(exit_link)) {}

  void operator()(StreamStartOutcome outcome) {
    if (auto* channel = std::get_if<std::shared_ptr<StreamChannel>>(&outcome)) {
      deliver(std::move(*channel));
    } else if (auto* error = std::get_if<SandboxError>(&outcome)) {
      future_.set_exception([&](ModuleState&) { return to_py_error(std::move(*error)); });
    } else {
      const auto& failure = std::get<TaskFailure>(outcome);
      future_.set_exception([&](ModuleState&) { return worker_failure(failure.description); });
    }
  }

 private:
  void deliver(std::shared_ptr<StreamChannel> channel) {
    ReceiverGuard guard(std::move(channel));
    {
      PythonAccess access;
      if (!access) {
        // The exit hook has run, maybe before this child existed, and the
        // driver's graceful stop would be cut short by the process's end.
        terminate_all_children();
        return;
      }
    }
    // If the awaiter cancelled the future meanwhile, or its loop is closed,
    // the OutputStream is dropped unseen, and releases the receiving side.
    future_.set_result([&](ModuleState& state) {
      Ref stream = new_output_stream(state, guard.channel());
      if (stream) guard.dismiss();
      return stream;
    });
  }

  PendingFuture future_;
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

    auto exit_link = ExitLink::make(token);
    if (!exit_link) {
      PyErr_SetString(PyExc_RuntimeError, "the interpreter is exiting: no stream can start");
      return nullptr;
    }
    auto pending = PendingFuture::create(module);
    if (!pending) return nullptr;
    Ref future = Ref::borrow(pending->future());

    StreamDone done(std::move(*pending), std::move(*exit_link));
    {
      // As for run(): the runtime may need a lock that one of its threads
      // holds while waiting for the interpreter lock.
      GilRelease unlocked;
      start_stream(std::move(request), std::move(token), capture, std::move(done));
    }
    return future.release();
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
     "(the token, OutputStream.cancel() or aclose()) stop it gracefully (its\n"
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
