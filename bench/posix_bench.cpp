// Figures for the POSIX dispatch model and output handle; never run as tests.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

#include "platform/posix/fd_output.h"
#include "platform/posix/posix_dispatch.h"
#include "platform/posix/uuid.h"

namespace audiotap::platform::posix {
namespace {

using namespace std::chrono_literals;

void SerialQueueThroughput(benchmark::State& state) {
  auto dispatch = makePosixDispatch();
  auto queue = dispatch->makeSerialQueue("bench");
  std::atomic<int> ran{0};
  for (auto _ : state) {
    for (int i = 0; i < state.range(0); ++i)
      queue->async([&] { ran.fetch_add(1, std::memory_order_relaxed); });
    queue->drain(60s);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(SerialQueueThroughput)->Arg(1)->Arg(1000)->UseRealTime();

// 3200 bytes: 100 ms of PCM at 16 kHz; 120 bytes: an event line.
void WriteAllToPipe(benchmark::State& state) {
  int ends[2];
  if (::pipe(ends) != 0) return state.SkipWithError("pipe");
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
BENCHMARK(WriteAllToPipe)->Arg(3200)->Arg(120)->UseRealTime();

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

// Runs `scenario` and then the main loop in a child, which ends by reporting one figure.
template <class Scenario>
double figureFromChild(Scenario scenario) {
  int ends[2];
  double figure = -1;
  if (::pipe(ends) != 0) return figure;
  // The main loop never returns, so it runs in a child of its own.
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(30);
    auto dispatch = makePosixDispatch();
    scenario(*dispatch, [fd = ends[1]](double value) {
      [[maybe_unused]] const auto written = ::write(fd, &value, sizeof value);
      std::exit(0);
    });
    dispatch->runMain();
  }
  int status = 0;
  if (child > 0) ::waitpid(child, &status, 0);
  if (::read(ends[0], &figure, sizeof figure) != ssize_t(sizeof figure)) figure = -1;
  ::close(ends[0]);
  ::close(ends[1]);
  return figure;
}

// CPU the main loop spends in 1 s with a timer, a signal source and a quiet
// read source to wait on: near 0 unless it wakes for nothing.
void MainLoopIdleCpu(benchmark::State& state) {
  for (auto _ : state) {
    state.counters["idle_cpu_ms_per_s"] =
        1e3 * figureFromChild([](platform::Dispatch& dispatch, auto report) {
          static int quiet[2];
          if (::pipe(quiet) != 0) report(-1);
          static auto signal = dispatch.makeSignalSource(SIGUSR1, [] {});
          static auto input = dispatch.makeReadSource(quiet[0], [] {});
          signal->resume();
          input->resume();
          const double start = cpuSeconds();
          dispatch.asyncAfterOnMain(1s, [=] { report(cpuSeconds() - start); });
        });
  }
}
BENCHMARK(MainLoopIdleCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

void MainQueueFromAnotherThread(benchmark::State& state) {
  for (auto _ : state) {
    state.counters["tasks_per_s"] = figureFromChild([](platform::Dispatch& dispatch, auto report) {
      constexpr int kTasks = 200'000;
      static int ran = 0;
      std::thread([&dispatch, report, start = std::chrono::steady_clock::now()] {
        for (int i = 0; i < kTasks; ++i) {
          dispatch.asyncOnMain([=] {
            if (++ran < kTasks) return;
            report(kTasks / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
          });
        }
      }).detach();
    });
  }
}
BENCHMARK(MainQueueFromAnotherThread)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace audiotap::platform::posix
