// What a WASAPI source is made with, for tests that run it without the
// Windows platform: it uses neither the dispatch nor, without a filter, the
// process table.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/capture_source.h"
#include "platform/dispatch.h"
#include "platform/processes.h"

namespace audiotap::testing {

// A serial queue on a thread of its own, as the platform's IO queue is.
class SerialQueue final : public platform::Queue {
 public:
  SerialQueue() : thread_([this] { serve(); }) {}
  ~SerialQueue() override {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  void async(std::function<void()> task) override {
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
  }
  bool drain(std::chrono::milliseconds) override { return true; }

 private:
  void serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return done_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool done_ = false;
  std::thread thread_;
};

class NoDispatch final : public platform::Dispatch {
 public:
  std::unique_ptr<platform::Queue> makeSerialQueue(const std::string&) override { std::abort(); }
  void ignoreSignal(int) override { std::abort(); }
  std::unique_ptr<platform::Source> makeSignalSource(int, std::function<void()>) override { std::abort(); }
  std::unique_ptr<platform::Source> makeReadSource(int, std::function<void()>) override { std::abort(); }
  std::vector<std::unique_ptr<platform::Source>> makeStopSources(std::function<void()>) override {
    std::abort();
  }
  std::unique_ptr<platform::Source> makeInputEndSource(std::function<void()>) override { std::abort(); }
  void ignoreBrokenPipe() override { std::abort(); }
  void asyncAfterOnMain(std::chrono::nanoseconds, std::function<void()>) override { std::abort(); }
  void asyncOnMain(std::function<void()>) override { std::abort(); }
  [[noreturn]] void runMain() override { std::abort(); }
};

// This process and the trees a test names, with their parents.
class ThisProcessOnly final : public platform::ProcessTable {
 public:
  std::vector<platform::ProcessEntry> entries;
  std::vector<platform::ProcessEntry> list() override {
    std::vector<platform::ProcessEntry> all = entries;
    all.push_back({self(), 0});
    return all;
  }
  bool exists(platform::ProcessID pid) override {
    for (const auto& e : list())
      if (e.pid == pid) return true;
    return false;
  }
  platform::ProcessID self() override { return platform::ProcessID(GetCurrentProcessId()); }
};

class FixedFilter final : public platform::ProcessFilter {
 public:
  FixedFilter(std::vector<platform::ProcessID> include, std::vector<platform::ProcessID> exclude)
      : include_(std::move(include)), exclude_(std::move(exclude)) {}
  const std::vector<platform::ProcessID>& includeRoots() const override { return include_; }
  const std::vector<platform::ProcessID>& excludeRoots() const override { return exclude_; }
  void refresh() override {}
  bool heard(platform::ProcessID) const override { return true; }

 private:
  std::vector<platform::ProcessID> include_, exclude_;
};

}  // namespace audiotap::testing
