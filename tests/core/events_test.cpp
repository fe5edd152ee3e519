// The stream road: a child's events as its consumer takes them from the
// stream's queue (start, chunks in order, exit or error last), the stops
// (deadline, cancellation, the consumer gone), back-pressure, and what a
// stream leaves behind.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include "async_support.h"
#include "events/stream.h"
#include "supervisor/pipeline.h"
#include "support.h"

using namespace quellar;
using namespace std::chrono_literals;
using test::collect;
using test::receive;
using test::shell;

namespace {

std::shared_ptr<StreamQueue> start(ExecutionRequest request, bool capture = false,
                                   CancellationToken token = {}) {
  auto outcome = test::start_stream_blocking(std::move(request), capture, std::move(token));
  if (auto* error = std::get_if<SandboxError>(&outcome)) throw std::runtime_error(error->describe());
  if (auto* failure = std::get_if<TaskFailure>(&outcome)) throw std::runtime_error(failure->description);
  return std::get<std::shared_ptr<StreamQueue>>(std::move(outcome));
}

std::vector<StreamItem> receive_all(StreamQueue& queue) {
  std::vector<StreamItem> items;
  while (auto item = receive(queue)) items.push_back(std::move(*item));
  return items;
}

Bytes joined(const std::vector<StreamItem>& items, StreamItem::Kind kind) {
  Bytes out;
  for (const auto& item : items) {
    if (item.kind == kind) out += item.data;
  }
  return out;
}

const ProcessReceipt& receipt_of(const std::vector<StreamItem>& items) {
  return items.back().result->receipt;
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

TEST(EventStream, StartedThenChunksThenExitedThenEnd) {
  auto queue = start(shell("printf hi; printf oops >&2; exit 4"));
  auto items = receive_all(*queue);
  ASSERT_GE(items.size(), 4u);
  ASSERT_EQ(items.front().kind, StreamItem::Kind::Started);
  EXPECT_EQ(items.front().start->executable.requested, "/bin/sh");
  EXPECT_TRUE(items.front().start->pid.has_value());
  EXPECT_EQ(joined(items, StreamItem::Kind::Stdout), "hi");
  EXPECT_EQ(joined(items, StreamItem::Kind::Stderr), "oops");
  ASSERT_EQ(items.back().kind, StreamItem::Kind::Exited);
  const ProcessReceipt& receipt = receipt_of(items);
  EXPECT_EQ(std::get<termination::Exited>(receipt.termination).exit.code, 4);
  EXPECT_EQ(receipt.enforcement, EnforcementLevel::Degraded);
  EXPECT_FALSE(receive(*queue));
  EXPECT_FALSE(receive(*queue));
  // Once the exit has been handed out there is nothing left to stop: a late
  // cancellation changes nothing, and the result stays the one taken.
  queue->cancel();
  auto result = collect(*queue);
  ASSERT_TRUE(std::holds_alternative<StreamResult>(result));
  EXPECT_EQ(std::get<termination::Exited>(std::get<StreamResult>(result).receipt.termination).exit.code, 4);
}

TEST(EventStream, ChunksOfOneStreamKeepTheirOrderAndStayWithinTheChunkSize) {
  auto items = receive_all(*start(shell("i=0; while [ $i -lt 2000 ]; do echo line$i; i=$((i+1)); done")));
  std::string expected;
  for (int i = 0; i < 2000; ++i) expected += "line" + std::to_string(i) + "\n";
  EXPECT_EQ(joined(items, StreamItem::Kind::Stdout), expected);

  // Bulk output: read in bulk, handed over in chunks of at most 8 KiB.
  auto bulk = shell("head -c 3000000 /dev/urandom | od -An -v -tx1");
  bulk.max_stdout_bytes = std::uint64_t(1) << 30;
  auto many = receive_all(*start(bulk));
  for (const auto& item : many) ASSERT_LE(item.data.size(), StreamQueue::kChunkSize);
  EXPECT_GT(joined(many, StreamItem::Kind::Stdout).size(), 3000000u);
}

TEST(EventStream, ExactLimitIsDeliveredWholeOneMoreIsAnError) {
  auto exact = shell("head -c 20000 /dev/zero");
  exact.max_stdout_bytes = 20000;
  auto whole = receive_all(*start(exact));
  EXPECT_EQ(joined(whole, StreamItem::Kind::Stdout).size(), 20000u);
  EXPECT_EQ(whole.back().kind, StreamItem::Kind::Exited);

  auto over = shell("sleep 100 & echo $! >&2; head -c 20001 /dev/zero; wait");
  over.max_stdout_bytes = 20000;
  auto queue = start(over);
  auto started = std::chrono::steady_clock::now();
  auto cut = receive_all(*queue);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  // Cut exactly at the limit, in chunks of at most 8 KiB.
  EXPECT_EQ(joined(cut, StreamItem::Kind::Stdout), std::string(20000, '\0'));
  ASSERT_EQ(cut.back().kind, StreamItem::Kind::Error);
  EXPECT_EQ(cut.back().error->code(), "output_too_large");
  EXPECT_EQ(cut.back().error->executable(), nullptr);
  EXPECT_TRUE(test::gone_within(std::stoi(joined(cut, StreamItem::Kind::Stderr))));
  // After the error, nothing but the end.
  EXPECT_FALSE(receive(*queue));

  auto err = shell("head -c 9000 /dev/zero >&2");
  err.max_stderr_bytes = 8192;
  auto err_cut = receive_all(*start(err));
  EXPECT_EQ(joined(err_cut, StreamItem::Kind::Stderr).size(), 8192u);
  EXPECT_EQ(err_cut.back().error->code(), "stderr_too_large");
}

TEST(EventStream, ChildThatClosesItsPipesAndRunsOnIsWaitedFor) {
  auto started = std::chrono::steady_clock::now();
  auto items = receive_all(*start(shell("exec >&- 2>&-; sleep 0.3; exit 6")));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 250ms);
  EXPECT_EQ(std::get<termination::Exited>(receipt_of(items).termination).exit.code, 6);
}

TEST(EventStream, BackgroundDescendantHoldingStdoutDelaysTheExit) {
  auto items = receive_all(*start(shell("(sleep 0.4; echo late) & echo early; exit 0")));
  EXPECT_EQ(joined(items, StreamItem::Kind::Stdout), "early\nlate\n");
  EXPECT_EQ(items.back().kind, StreamItem::Kind::Exited);
}

TEST(EventStreamStop, IgnoringSigtermIsKilledAfterTheGrace) {
  auto queue = start(shell("trap '' TERM; echo ready; while :; do sleep 1; done"));
  EXPECT_EQ(receive(*queue)->kind, StreamItem::Kind::Started);
  EXPECT_EQ(receive(*queue)->data, "ready\n");
  auto started = std::chrono::steady_clock::now();
  queue->cancel();
  auto rest = receive_all(*queue);
  auto took = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<termination::Cancelled>(receipt_of(rest).termination));
  EXPECT_GE(took, kFinishGrace);
  EXPECT_LT(took, 5s);
}

// ---------------------------------------------------------------- the road's stops

TEST(StreamDriver, EventsInOrderWithCapture) {
  auto queue = start(shell("printf hi; printf there >&2"), /*capture=*/true);
  auto items = receive_all(*queue);
  ASSERT_GE(items.size(), 3u);
  EXPECT_EQ(items.front().kind, StreamItem::Kind::Started);
  EXPECT_EQ(items.back().kind, StreamItem::Kind::Exited);
  ASSERT_TRUE(items.back().result);
  EXPECT_EQ(items.back().result->stdout_bytes, "hi");
  EXPECT_EQ(items.back().result->stderr_bytes, "there");
  EXPECT_EQ(std::get<termination::Exited>(receipt_of(items).termination).exit.code, 0);
  // The final result can still be collected afterwards.
  auto collected = collect(*queue);
  EXPECT_EQ(std::get<StreamResult>(collected).stdout_bytes, "hi");
}

TEST(StreamDriver, WithoutCaptureTheResultHoldsNoOutput) {
  auto items = receive_all(*start(shell("printf hi")));
  EXPECT_EQ(items.back().result->stdout_bytes, "");
  EXPECT_EQ(joined(items, StreamItem::Kind::Stdout), "hi");
}

TEST(StreamDriver, DeadlineStopsTheChildGracefully) {
  auto started = std::chrono::steady_clock::now();
  auto items = receive_all(*start(shell("exec sleep 10", 300)));
  auto took = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(items.size(), 2u);
  EXPECT_TRUE(std::holds_alternative<termination::TimedOut>(receipt_of(items).termination));
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 5s);
}

TEST(StreamDriver, CancellationFromTheCallerOrTheStream) {
  CancellationToken caller;
  auto queue = start(shell("exec sleep 10"), false, caller);
  EXPECT_EQ(receive(*queue)->kind, StreamItem::Kind::Started);
  caller.cancel();
  auto rest = receive_all(*queue);
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<termination::Cancelled>(receipt_of(rest).termination));

  auto own = start(shell("exec sleep 10"));
  own->cancel();
  auto items = receive_all(*own);
  EXPECT_TRUE(std::holds_alternative<termination::Cancelled>(receipt_of(items).termination));
  EXPECT_FALSE(caller == own->stream_token());

  // Already cancelled: still "started" first, then the end.
  for (int i = 0; i < 20; ++i) {
    CancellationToken already;
    already.cancel();
    auto pre = receive_all(*start(shell("exec sleep 10"), false, already));
    ASSERT_EQ(pre.size(), 2u);
    EXPECT_EQ(pre.front().kind, StreamItem::Kind::Started);
    EXPECT_TRUE(std::holds_alternative<termination::Cancelled>(receipt_of(pre).termination));
  }
}

TEST(StreamDriver, StoppingAStreamStopsTheGroupItStartedEvenAfterTheLeaderExited) {
  // The leader exits at once; the background member holds the output open,
  // so the stream goes on until it is stopped, and the stop reaches it.
  for (bool release : {false, true}) {
    test::TempDir dir;
    auto queue = start(shell("sleep 30 & echo $! > " + dir / "pid" + "; exit 0"));
    EXPECT_EQ(receive(*queue)->kind, StreamItem::Kind::Started);
    const int member = test::read_number_within(dir / "pid");
    ASSERT_GT(member, 0);
    if (release) {
      queue->release_consumer();
    } else {
      queue->cancel();
      receive_all(*queue);
    }
    EXPECT_TRUE(test::gone_within(member, 2s)) << (release ? "released" : "cancelled");
  }
}

TEST(StreamDriver, LimitErrorIsTheLastItem) {
  auto request = shell("head -c 100 /dev/zero");
  request.max_stdout_bytes = 10;
  auto items = receive_all(*start(request));
  ASSERT_GE(items.size(), 2u);
  EXPECT_EQ(items.back().kind, StreamItem::Kind::Error);
  EXPECT_EQ(items.back().error->code(), "output_too_large");
  EXPECT_EQ(joined(items, StreamItem::Kind::Stdout).size(), 10u);
}

TEST(StreamDriver, ReleasedConsumerStopsTheChildWithoutConsuming) {
  auto queue = start(shell("trap '' TERM; echo $$; while :; do sleep 1; done"));
  receive(*queue);  // started
  auto line = receive(*queue);
  ASSERT_TRUE(line && line->kind == StreamItem::Kind::Stdout);
  const int pid = std::stoi(line->data);
  queue->release_consumer();
  EXPECT_TRUE(test::gone_within(pid, 5s));
}

TEST(StreamDriver, BackPressureBlocksTheChildInsteadOfBuffering) {
  // A child that writes without end, and nobody reads: the queue fills and
  // the child blocks on its pipe instead of being buffered in memory.
  test::TempDir dir;
  auto request = shell("echo $$ > " + dir / "pid" + "; exec yes");
  request.max_stdout_bytes = std::uint64_t(1) << 40;
  auto queue = start(request);
  const int pid = test::read_number_within(dir / "pid");
  ASSERT_GT(pid, 0);
  // The queue is full and stays at its bound; the rest waits in the pipe,
  // written by nobody.
  for (int i = 0; i < 500 && queue->queued() < StreamQueue::kCapacity; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(queue->queued(), StreamQueue::kCapacity);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(queue->queued(), StreamQueue::kCapacity);
  EXPECT_TRUE(test::process_exists(pid));
  EXPECT_FALSE(test::process_is_zombie(pid));
  // Taking resumes the flow, in order and unbroken.
  Bytes taken;
  for (int i = 0; i < 200; ++i) {
    auto item = receive(*queue);
    if (item->kind == StreamItem::Kind::Stdout) taken += item->data;
  }
  EXPECT_EQ(taken.find("yy"), Bytes::npos);
  EXPECT_EQ(taken.find("\n\n"), Bytes::npos);
  queue->release_consumer();
  EXPECT_TRUE(test::gone_within(pid));
}

TEST(StreamDriver, SpawnFailuresAreReportedAtTheStart) {
  ExecutionRequest relative;
  relative.executable = "sh";
  auto outcome = test::start_stream_blocking(relative);
  ASSERT_TRUE(std::holds_alternative<SandboxError>(outcome));
  EXPECT_EQ(std::get<SandboxError>(outcome).code(), "relative_executable");
}

TEST(StreamDriver, ADroppedStreamLeavesNoReaderOnAPipeHeldOutside) {
  const int fds_before = settled_fd_count();
  test::TempDir dir;
  auto queue = start(shell("setsid sh -c 'echo $$ > " + dir / "escapee" +
                           "; exec sleep 100' & exec sleep 100"));
  EXPECT_EQ(receive(*queue)->kind, StreamItem::Kind::Started);
  queue->release_consumer();
  queue.reset();
  const int escapee = test::read_number_within(dir / "escapee");
  // The group is stopped within the grace; the readers, whose pipes the
  // escapee still holds, must end with the stream.
  const bool back = test::fd_count_within(fds_before);
  if (escapee > 0) ::kill(escapee, SIGKILL);
  EXPECT_TRUE(back) << "descriptors still open: " << test::open_fd_count() - fds_before;
}

TEST(StreamDriver, StreamsStoppedByTheirSupervisionLeaveNoDescriptors) {
  const int fds_before = settled_fd_count();
  for (int i = 0; i < 20; ++i) {
    auto timed = receive_all(*start(shell("exec sleep 10", 30)));
    ASSERT_TRUE(std::holds_alternative<termination::TimedOut>(receipt_of(timed).termination));
    auto cancelled = start(shell("echo hi; exec sleep 10"));
    receive(*cancelled);
    cancelled->cancel();
    receive_all(*cancelled);
  }
  EXPECT_TRUE(test::fd_count_within(fds_before)) << "descriptors still open: " << test::open_fd_count() - fds_before;
}
