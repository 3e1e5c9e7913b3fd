// Figures for the POSIX dispatch model and output handle; never run as tests.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <latch>
#include <thread>
#include <vector>

#include "child_process.h"
#include "platform/posix/fd_output.h"
#include "platform/posix/posix_dispatch.h"
#include "platform/posix/uuid.h"

namespace audiotap::posix {
namespace {

using namespace std::chrono_literals;

void SerialQueueThroughput(benchmark::State& state) {
  auto dispatch = makePosixDispatch();
  auto queue = dispatch->makeSerialQueue("bench");
  const int batch = int(state.range(0));
  std::atomic<int> ran{0};
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i) queue->async([&] { ran.fetch_add(1, std::memory_order_relaxed); });
    queue->drain(60s);
  }
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(SerialQueueThroughput)->Arg(1)->Arg(1000);

// One PCM block of 100 ms at 16 kHz, as the IO queue writes it.
void WriteAllPcmBlock(benchmark::State& state) {
  int ends[2];
  if (::pipe(ends) != 0) {
    state.SkipWithError("pipe");
    return;
  }
  std::thread reader([fd = ends[0]] {
    char buffer[65536];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
  });
  auto handle = makeFdOutputHandle(ends[1]);
  const std::vector<char> block(std::size_t(state.range(0)), 'x');
  for (auto _ : state) benchmark::DoNotOptimize(handle->writeAll(block.data(), block.size()));
  state.SetBytesProcessed(state.iterations() * state.range(0));
  ::close(ends[1]);
  reader.join();
  ::close(ends[0]);
}
BENCHMARK(WriteAllPcmBlock)->Arg(3200)->Arg(120);

void RandomUUID(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(randomUUIDString());
}
BENCHMARK(RandomUUID);

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs a main-loop scenario in a child that reports one number through a pipe.
double inMainLoopChild(void (*scenario)(platform::Dispatch&, int reportFd)) {
  int ends[2];
  if (::pipe(ends) != 0) return -1;
  const int status = testing::runInChild([&] {
    ::close(ends[0]);
    auto dispatch = makePosixDispatch();
    scenario(*dispatch, ends[1]);
    dispatch->runMain();
  });
  ::close(ends[1]);
  double figure = -1;
  if (::read(ends[0], &figure, sizeof figure) != ssize_t(sizeof figure) || status != 0) figure = -1;
  ::close(ends[0]);
  return figure;
}

void report(int fd, double figure) {
  [[maybe_unused]] const auto written = ::write(fd, &figure, sizeof figure);
  std::exit(0);
}

// CPU the main loop burns while it waits 1 s with nothing to do but one
// timer, a signal source and a read source: 0 unless it wakes for nothing.
void MainLoopIdleCpu(benchmark::State& state) {
  double cpu = -1;
  for (auto _ : state) {
    cpu = inMainLoopChild([](platform::Dispatch& dispatch, int reportFd) {
      static int quiet[2];
      if (::pipe(quiet) != 0) std::exit(1);
      static auto signal = dispatch.makeSignalSource(SIGUSR1, [] {});
      static auto input = dispatch.makeReadSource(quiet[0], [] {});
      signal->resume();
      input->resume();
      const double start = cpuSeconds();
      dispatch.asyncAfterOnMain(1s, [reportFd, start] { report(reportFd, cpuSeconds() - start); });
    });
  }
  state.counters["idle_cpu_ms_per_s"] = cpu * 1e3;
}
BENCHMARK(MainLoopIdleCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

// Tasks posted to the main queue from another thread, run and counted there.
void MainQueueFromAnotherThread(benchmark::State& state) {
  double perSecond = -1;
  for (auto _ : state) {
    perSecond = inMainLoopChild([](platform::Dispatch& dispatch, int reportFd) {
      constexpr int kTasks = 200'000;
      static int ran = 0;
      static auto start = std::chrono::steady_clock::now();
      std::thread([&dispatch, reportFd] {
        start = std::chrono::steady_clock::now();
        for (int i = 0; i < kTasks; ++i) {
          dispatch.asyncOnMain([reportFd] {
            if (++ran < kTasks) return;
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            report(reportFd, kTasks / took.count());
          });
        }
      }).detach();
    });
  }
  state.counters["tasks_per_s"] = perSecond;
}
BENCHMARK(MainQueueFromAnotherThread)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace audiotap::posix
