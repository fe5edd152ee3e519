// The stream road without Python: a child writing 256 MiB to standard
// output (dd with 1 MiB blocks), consumed from its StreamQueue by a C++
// thread that only counts. The ceiling for what Python can get through
// quellar.stream() (bench/stream_bench.py).
//
//     build/<dir>/bin/stream_core_bench [MiB]
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <string>

#include "events/stream.h"

namespace {

double cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Counts {
  std::size_t bytes = 0;
  std::size_t events = 0;
  std::size_t waited = 0;  // takes that had to wait for their item
};

Counts consume(quellar::StreamQueue& queue) {
  Counts counts;
  for (;;) {
    const auto claim = queue.claim();
    std::optional<quellar::Received> got = queue.take(claim);
    while (!got) {
      ++counts.waited;
      auto woken = std::make_shared<std::promise<void>>();
      auto future = woken->get_future();
      if (!queue.on_ready([woken] { woken->set_value(); })) future.wait();
      got = queue.take(claim);
    }
    if (!*got) return counts;
    if ((*got)->kind == quellar::StreamItem::Kind::Stdout) {
      counts.bytes += (*got)->data.size();
      ++counts.events;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int mib = argc > 1 ? std::atoi(argv[1]) : 256;
  quellar::ExecutionRequest request;
  request.executable = "/bin/dd";
  request.args = {"if=/dev/zero", "bs=1M", "count=" + std::to_string(mib), "status=none"};
  request.timeout_ms = 600000;
  request.max_stdout_bytes = (static_cast<std::uint64_t>(mib) + 1) << 20;
  std::printf("| round | MB/s | events/s | takes that waited | CPU per MB |\n|---|---:|---:|---:|---:|\n");
  for (int round = 1; round <= 3; ++round) {
    const auto started = std::chrono::steady_clock::now();
    const double cpu = cpu_seconds();
    std::promise<quellar::StreamStartOutcome> promise;
    quellar::start_stream(request, quellar::CancellationToken(), false,
                          [&promise](quellar::StreamStartOutcome outcome) {
                            promise.set_value(std::move(outcome));
                          });
    auto outcome = promise.get_future().get();
    auto* queue = std::get_if<std::shared_ptr<quellar::StreamQueue>>(&outcome);
    if (queue == nullptr) {
      std::fprintf(stderr, "the stream did not start\n");
      return 1;
    }
    const Counts counts = consume(**queue);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double mb = static_cast<double>(counts.bytes) / 1e6;
    std::printf("| %d | %.0f | %.0f | %zu of %zu | %.2f ms |\n", round, mb / wall,
                static_cast<double>(counts.events) / wall, counts.waited, counts.events,
                (cpu_seconds() - cpu) * 1e3 / mb);
  }
}
