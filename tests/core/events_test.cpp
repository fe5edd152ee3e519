#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include "async_support.h"
#include "events/process_event_stream.h"
#include "events/stream.h"
#include "support.h"

using namespace quellar;
using namespace std::chrono_literals;
using test::shell;

namespace {

ProcessEventStream open_stream(const ExecutionRequest& request) {
  auto child = spawn(request);
  if (!child) throw std::runtime_error(child.error().describe());
  child->stdin_pipe.reset();
  auto stream = ProcessEventStream::create(std::move(*child));
  if (!stream) throw std::runtime_error(stream.error().describe());
  return std::move(*stream);
}

NextResult next(ProcessEventStream& stream) {
  return test::run_blocking(stream.strand(), stream.next());
}

// Everything up to the end or an error: (stdout, stderr, final result).
struct Drained {
  Bytes out, err;
  std::vector<std::string> kinds;
  NextResult last;
};

Drained drain(ProcessEventStream& stream) {
  Drained d;
  for (;;) {
    NextResult result = next(stream);
    if (auto* event = std::get_if<ProcessEvent>(&result)) {
      if (auto* out = std::get_if<process_event::Stdout>(event)) {
        d.out += out->data;
        d.kinds.push_back("stdout");
        continue;
      }
      if (auto* err = std::get_if<process_event::Stderr>(event)) {
        d.err += err->data;
        d.kinds.push_back("stderr");
        continue;
      }
      if (std::holds_alternative<process_event::Started>(*event)) {
        d.kinds.push_back("started");
        continue;
      }
      d.kinds.push_back("exited");
    }
    d.last = std::move(result);
    return d;
  }
}

const ProcessReceipt& receipt_of(const NextResult& result) {
  return std::get<process_event::Exited>(std::get<ProcessEvent>(result)).receipt;
}

std::expected<ProcessReceipt, SandboxError> shut_down(ProcessEventStream stream,
                                                      std::chrono::nanoseconds grace) {
  auto strand = stream.strand();
  return test::run_blocking(strand, ProcessEventStream::shutdown(std::move(stream), grace));
}


}  // namespace

TEST(EventStream, StartedThenChunksThenExitedThenEnd) {
  auto stream = open_stream(shell("printf hi; printf oops >&2; exit 4"));
  auto first = next(stream);
  auto& started = std::get<process_event::Started>(std::get<ProcessEvent>(first));
  EXPECT_EQ(started.executable.requested, "/bin/sh");
  EXPECT_TRUE(started.pid.has_value());
  Drained d = drain(stream);
  EXPECT_EQ(d.out, "hi");
  EXPECT_EQ(d.err, "oops");
  EXPECT_EQ(d.kinds.back(), "exited");
  const ProcessReceipt& receipt = receipt_of(d.last);
  EXPECT_EQ(std::get<termination::Exited>(receipt.termination).exit.code, 4);
  EXPECT_EQ(receipt.enforcement, EnforcementLevel::Degraded);
  EXPECT_TRUE(std::holds_alternative<EndOfStream>(next(stream)));
  EXPECT_TRUE(std::holds_alternative<EndOfStream>(next(stream)));
  // Once the exit has been handed out there is nothing left to stop.
  auto late = shut_down(std::move(stream), 250ms);
  ASSERT_FALSE(late);
  EXPECT_EQ(late.error().code(), "execution_failed");
  EXPECT_EQ(late.error().source()->message(), "session already completed");
}

TEST(EventStream, ChunksOfOneStreamKeepTheirOrder) {
  auto stream = open_stream(shell("i=0; while [ $i -lt 2000 ]; do echo line$i; i=$((i+1)); done"));
  Drained d = drain(stream);
  std::string expected;
  for (int i = 0; i < 2000; ++i) expected += "line" + std::to_string(i) + "\n";
  EXPECT_EQ(d.out, expected);
}

TEST(EventStream, ExactLimitIsDeliveredWholeOneMoreIsAnError) {
  auto exact = shell("head -c 20000 /dev/zero");
  exact.max_stdout_bytes = 20000;
  auto stream = open_stream(exact);
  Drained d = drain(stream);
  EXPECT_EQ(d.out.size(), 20000u);
  ASSERT_TRUE(std::holds_alternative<ProcessEvent>(d.last));

  auto over = shell("sleep 100 & echo $! >&2; head -c 20001 /dev/zero; wait");
  over.max_stdout_bytes = 20000;
  auto overflowing = open_stream(over);
  auto start = std::chrono::steady_clock::now();
  Drained cut = drain(overflowing);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(cut.out, std::string(20000, '\0'));
  ASSERT_TRUE(std::holds_alternative<SandboxError>(cut.last));
  EXPECT_EQ(std::get<SandboxError>(cut.last).code(), "output_too_large");
  EXPECT_EQ(std::get<SandboxError>(cut.last).executable(), nullptr);
  EXPECT_TRUE(test::gone_within(std::stoi(cut.err)));
  // After the error, nothing but the end.
  EXPECT_TRUE(std::holds_alternative<EndOfStream>(next(overflowing)));

  auto err = shell("head -c 9000 /dev/zero >&2");
  err.max_stderr_bytes = 8192;
  auto err_stream = open_stream(err);
  Drained err_cut = drain(err_stream);
  EXPECT_EQ(err_cut.err.size(), 8192u);
  EXPECT_EQ(std::get<SandboxError>(err_cut.last).code(), "stderr_too_large");
}

TEST(EventStream, ChildThatClosesItsPipesAndRunsOnIsPolled) {
  auto stream = open_stream(shell("exec >&- 2>&-; sleep 0.3; exit 6"));
  auto start = std::chrono::steady_clock::now();
  Drained d = drain(stream);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
  EXPECT_EQ(std::get<termination::Exited>(receipt_of(d.last).termination).exit.code, 6);
}

TEST(EventStream, BackgroundDescendantHoldingStdoutDelaysTheExit) {
  auto stream = open_stream(shell("(sleep 0.4; echo late) & echo early; exit 0"));
  Drained d = drain(stream);
  EXPECT_EQ(d.out, "early\nlate\n");
  EXPECT_EQ(d.kinds.back(), "exited");
}

TEST(EventStream, MissingPipesAreAnExecutionFailure) {
  auto child = spawn(shell("sleep 100"));
  ASSERT_TRUE(child);
  child->stdout_pipe.reset();
  auto stream = ProcessEventStream::create(std::move(*child));
  ASSERT_FALSE(stream);
  EXPECT_EQ(stream.error().code(), "execution_failed");
  EXPECT_EQ(stream.error().source()->message(), "stdout unavailable");
}

TEST(EventStreamShutdown, IgnoringSigtermIsKilledAfterTheGrace) {
  auto stream = open_stream(shell("trap '' TERM; echo ready; while :; do sleep 1; done"));
  next(stream);  // started
  ASSERT_TRUE(std::holds_alternative<ProcessEvent>(next(stream)));  // "ready"
  auto start = std::chrono::steady_clock::now();
  auto receipt = shut_down(std::move(stream), 250ms);
  auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(receipt);
  EXPECT_TRUE(std::holds_alternative<termination::TimedOut>(receipt->termination));
  EXPECT_GE(took, 250ms);
  EXPECT_LT(took, 5s);
}

TEST(EventStreamShutdown, SigtermEndsACooperativeChild) {
  auto receipt = shut_down(open_stream(shell("exec sleep 100")), 250ms);
  ASSERT_TRUE(receipt);
  EXPECT_EQ(std::get<termination::Exited>(receipt->termination).exit,
            (ProcessExit{std::nullopt, SIGTERM}));
}

TEST(EventStreamShutdown, AnExitedChildIsNotSignalled) {
  auto stream = open_stream(shell("exit 2"));
  next(stream);  // started; the child exits meanwhile
  std::this_thread::sleep_for(100ms);
  auto start = std::chrono::steady_clock::now();
  auto receipt = shut_down(std::move(stream), 10s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  ASSERT_TRUE(receipt);
  EXPECT_EQ(std::get<termination::Exited>(receipt->termination).exit, (ProcessExit{2, std::nullopt}));
}

// ---------------------------------------------------------------- the driver

namespace {

std::shared_ptr<StreamChannel> start(ExecutionRequest request, bool capture = false,
                                     CancellationToken token = {}) {
  std::promise<StreamStartOutcome> promise;
  auto future = promise.get_future();
  start_stream(std::move(request), std::move(token), capture,
               [&promise](StreamStartOutcome outcome) { promise.set_value(std::move(outcome)); });
  auto outcome = future.get();
  if (auto* error = std::get_if<SandboxError>(&outcome)) throw std::runtime_error(error->describe());
  return std::get<std::shared_ptr<StreamChannel>>(std::move(outcome));
}

Received receive(StreamChannel& channel) {
  std::promise<Received> promise;
  auto future = promise.get_future();
  if (auto now = channel.receive([&promise](Received r) { promise.set_value(std::move(r)); })) {
    return std::move(*now);
  }
  return future.get();
}

std::vector<StreamItem> receive_all(StreamChannel& channel) {
  std::vector<StreamItem> items;
  while (auto item = receive(channel)) items.push_back(std::move(*item));
  return items;
}

// The descriptor count once every worker has opened its own descriptors and
// streams of earlier tests have finished stopping their children.
int settled_fd_count() {
  for (std::size_t i = 0; i < runtime::worker_count(); ++i) receive_all(*start(shell("true")));
  int count = test::open_fd_count();
  for (int stable = 0; stable < 30;) {
    std::this_thread::sleep_for(10ms);
    const int now = test::open_fd_count();
    stable = now == count ? stable + 1 : 0;
    count = now;
  }
  return count;
}

}  // namespace

TEST(StreamDriver, EventsInOrderWithCapture) {
  auto channel = start(shell("printf hi; printf there >&2"), /*capture=*/true);
  auto items = receive_all(*channel);
  ASSERT_GE(items.size(), 3u);
  EXPECT_EQ(items.front().kind, StreamItem::Kind::Started);
  EXPECT_EQ(items.back().kind, StreamItem::Kind::Exited);
  ASSERT_TRUE(items.back().result);
  EXPECT_EQ(items.back().result->stdout_bytes, "hi");
  EXPECT_EQ(items.back().result->stderr_bytes, "there");
  EXPECT_EQ(std::get<termination::Exited>(items.back().result->receipt.termination).exit.code, 0);
  // The final result can still be collected afterwards.
  auto collected = channel->collect_result([](Collected) {});
  ASSERT_TRUE(collected);
  EXPECT_EQ(std::get<StreamResult>(*collected).stdout_bytes, "hi");
}

TEST(StreamDriver, WithoutCaptureTheResultHoldsNoOutput) {
  auto items = receive_all(*start(shell("printf hi")));
  EXPECT_EQ(items.back().result->stdout_bytes, "");
  Bytes out;
  for (const auto& item : items) {
    if (item.kind == StreamItem::Kind::Stdout) out += item.data;
  }
  EXPECT_EQ(out, "hi");
}

TEST(StreamDriver, DeadlineStopsTheChildGracefully) {
  auto request = shell("exec sleep 10", 300);
  auto start_time = std::chrono::steady_clock::now();
  auto items = receive_all(*start(request));
  auto took = std::chrono::steady_clock::now() - start_time;
  ASSERT_EQ(items.size(), 2u);
  const auto& receipt = items.back().result->receipt;
  EXPECT_TRUE(std::holds_alternative<termination::TimedOut>(receipt.termination));
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 5s);
}

TEST(StreamDriver, CancellationFromTheCallerOrTheStream) {
  CancellationToken caller;
  auto channel = start(shell("exec sleep 10"), false, caller);
  EXPECT_EQ(receive(*channel)->kind, StreamItem::Kind::Started);
  caller.cancel();
  auto rest = receive_all(*channel);
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<termination::Cancelled>(rest[0].result->receipt.termination));

  auto own = start(shell("exec sleep 10"));
  own->cancel();
  auto items = receive_all(*own);
  EXPECT_TRUE(std::holds_alternative<termination::Cancelled>(items.back().result->receipt.termination));

  // Already cancelled: still "started" first, then the end.
  for (int i = 0; i < 20; ++i) {
    CancellationToken already;
    already.cancel();
    auto pre = receive_all(*start(shell("exec sleep 10"), false, already));
    ASSERT_EQ(pre.size(), 2u);
    EXPECT_EQ(pre.front().kind, StreamItem::Kind::Started);
    EXPECT_TRUE(std::holds_alternative<termination::Cancelled>(pre.back().result->receipt.termination));
  }
}

TEST(StreamDriver, LimitErrorIsTheLastItem) {
  auto request = shell("head -c 100 /dev/zero");
  request.max_stdout_bytes = 10;
  auto items = receive_all(*start(request));
  ASSERT_GE(items.size(), 2u);
  EXPECT_EQ(items.back().kind, StreamItem::Kind::Error);
  EXPECT_EQ(items.back().error->code(), "output_too_large");
  Bytes out;
  for (const auto& item : items) {
    if (item.kind == StreamItem::Kind::Stdout) out += item.data;
  }
  EXPECT_EQ(out.size(), 10u);
}

TEST(StreamDriver, ReleasedReceiverStopsTheChildWithoutConsuming) {
  auto channel = start(shell("trap '' TERM; echo $$; while :; do sleep 1; done"));
  receive(*channel);  // started
  auto line = receive(*channel);
  ASSERT_TRUE(line && line->kind == StreamItem::Kind::Stdout);
  const int pid = std::stoi(line->data);
  channel->release_receiver();
  EXPECT_TRUE(test::gone_within(pid, 5s));
}

TEST(StreamDriver, BackPressureBlocksTheChildInsteadOfBuffering) {
  // A child that writes without end, and nobody reads: the queues fill and
  // the child blocks on its pipe instead of being buffered in memory.
  test::TempDir dir;
  auto request = shell("echo $$ > " + dir / "pid" + "; exec yes");
  request.max_stdout_bytes = std::uint64_t(1) << 40;
  auto channel = start(request);
  std::this_thread::sleep_for(1s);
  // The item queue is full and stays at its bound; the rest waits in the
  // pipe, written by nobody.
  EXPECT_EQ(channel->queued(), StreamChannel::kCapacity);
  std::ifstream in(dir / "pid");
  int pid = 0;
  in >> pid;
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(test::process_exists(pid));
  EXPECT_FALSE(test::process_is_zombie(pid));
  channel->release_receiver();
  EXPECT_TRUE(test::gone_within(pid));
}

TEST(StreamDriver, SpawnFailuresAreReportedAtTheStart) {
  std::promise<StreamStartOutcome> promise;
  auto future = promise.get_future();
  ExecutionRequest relative;
  relative.executable = "sh";
  start_stream(relative, {}, false, [&promise](StreamStartOutcome o) { promise.set_value(std::move(o)); });
  auto outcome = future.get();
  ASSERT_TRUE(std::holds_alternative<SandboxError>(outcome));
  EXPECT_EQ(std::get<SandboxError>(outcome).code(), "relative_executable");
}

TEST(StreamDriver, ADroppedStreamLeavesNoReaderOnAPipeHeldOutside) {
  const int fds_before = settled_fd_count();
  test::TempDir dir;
  auto channel = start(shell("setsid sh -c 'echo $$ > " + dir / "escapee" +
                             "; exec sleep 100' & exec sleep 100"));
  EXPECT_EQ(receive(*channel)->kind, StreamItem::Kind::Started);
  channel->release_receiver();
  channel.reset();
  int escapee = 0;
  for (int i = 0; i < 200 && escapee == 0; ++i) {
    std::this_thread::sleep_for(10ms);
    std::ifstream(dir / "escapee") >> escapee;
  }
  // The group is stopped within the grace; the readers, whose pipes the
  // escapee still holds, must end with the stream.
  bool back = false;
  for (int i = 0; i < 200 && !back; ++i) {
    std::this_thread::sleep_for(10ms);
    back = test::open_fd_count() == fds_before;
  }
  if (escapee > 0) ::kill(escapee, SIGKILL);
  EXPECT_TRUE(back) << "descriptors still open: " << test::open_fd_count() - fds_before;
}

TEST(StreamDriver, StreamsEndedByTheDriverLeaveNoDescriptors) {
  // The driver's race abandons a waiting next() when the deadline or a
  // cancellation wins; the readers must still be able to finish afterwards.
  const int fds_before = settled_fd_count();
  for (int i = 0; i < 20; ++i) {
    auto timed = receive_all(*start(shell("exec sleep 10", 30)));
    ASSERT_TRUE(std::holds_alternative<termination::TimedOut>(timed.back().result->receipt.termination));
    auto cancelled = start(shell("echo hi; exec sleep 10"));
    receive(*cancelled);
    cancelled->cancel();
    receive_all(*cancelled);
  }
  bool back = false;
  for (int i = 0; i < 300 && !back; ++i) {
    std::this_thread::sleep_for(10ms);
    back = test::open_fd_count() <= fds_before;
  }
  EXPECT_TRUE(back) << "descriptors still open: " << test::open_fd_count() - fds_before;
}
