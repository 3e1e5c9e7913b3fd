// The capture's task against scripted clients: what it hands the core for
// each kind of packet, and what it reports when the client fails.
#include "platform/windows/wasapi/stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "test_platform.h"

namespace audiotap::platform::windows {
namespace {

using namespace std::chrono_literals;
using testing::ThreadQueue;

// One packet of mono float32 (all samples `value`), or a failure.
struct Scripted {
  UINT32 frames = 480;
  float value = 0;
  DWORD flags = 0;
  UINT64 position = 0;
  HRESULT error = S_OK;
};

class FakeCapture final : public IAudioCaptureClient {
 public:
  explicit FakeCapture(std::vector<Scripted> script) : script_(script.begin(), script.end()) {}
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }

  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
    std::lock_guard lock(mutex_);
    *frames = script_.empty() ? 0 : script_.front().frames;
    return script_.empty() ? S_OK : script_.front().error;
  }
  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* position,
                                      UINT64* time) override {
    std::lock_guard lock(mutex_);
    if (script_.empty()) return AUDCLNT_S_BUFFER_EMPTY;
    const Scripted& packet = script_.front();
    if (FAILED(packet.error)) return packet.error;
    buffer_.assign(packet.frames, packet.value);
    *data = reinterpret_cast<BYTE*>(buffer_.data());
    *frames = packet.frames;
    *flags = packet.flags;
    *position = packet.position;
    // As wine does: stamped when read.
    *time = UINT64(performanceTicks());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32) override {
    std::lock_guard lock(mutex_);
    script_.pop_front();
    return S_OK;
  }

 private:
  ~FakeCapture() = default;
  std::atomic<ULONG> references_{1};
  std::mutex mutex_;
  std::deque<Scripted> script_;
  std::vector<float> buffer_;
};

class FakeClient final : public IAudioClient {
 public:
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE, DWORD, REFERENCE_TIME, REFERENCE_TIME,
                                       const WAVEFORMATEX*, LPCGUID) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                              WAVEFORMATEX**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Start() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Stop() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetService(REFIID, void**) override { return E_NOTIMPL; }

 private:
  ~FakeClient() = default;
  std::atomic<ULONG> references_{1};
};

Leg fakeLeg(std::vector<Scripted> script) {
  Leg leg;
  *leg.client.put() = new FakeClient();
  *leg.capture.put() = new FakeCapture(std::move(script));
  leg.event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  leg.layout = {SampleEncoding::Float32, 1, 4};
  return leg;
}

// What the core saw: every sample delivered, and the reports.
struct Seen {
  std::mutex mutex;
  std::vector<float> samples;
  std::vector<SourceReport> reports;
};

struct Session {
  Seen seen;
  ThreadQueue queue;
  std::shared_ptr<Stream> stream;

  explicit Session(std::vector<std::vector<Scripted>> scripts) {
    std::vector<Leg> legs;
    for (auto& script : scripts) legs.push_back(fakeLeg(std::move(script)));
    auto reports = std::make_shared<Reports>([this](const SourceReport& report) {
      std::lock_guard lock(seen.mutex);
      seen.reports.push_back(report);
    });
    stream = std::make_shared<Stream>(std::move(legs), 48000, 1, "dev", reports);
    stream->setDelivery([this](const AudioBufferList* list, const AudioBufferList*) {
      const auto* samples = static_cast<const float*>(list->mBuffers[0].mData);
      std::lock_guard lock(seen.mutex);
      seen.samples.insert(seen.samples.end(), samples, samples + list->mBuffers[0].mDataByteSize / 4);
    });
    const char* what = nullptr;
    EXPECT_EQ(stream->start(what), S_OK);
    stream->post(queue);
  }
  ~Session() { EXPECT_TRUE(stream->stop(std::chrono::steady_clock::now() + 2s)); }

  // Waits (without a deadline that matters) until `done` holds.
  template <class Done>
  void waitFor(Done done) {
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard lock(seen.mutex);
        if (done(seen)) return;
      }
      std::this_thread::sleep_for(10ms);
    }
    ADD_FAILURE() << "timed out";
  }
};

// The samples between the first and the last that is not zero: the
// silence before the first packet and after the last depends on timing.
std::vector<float> trimmed(const std::vector<float>& samples) {
  const auto first = std::find_if(samples.begin(), samples.end(), [](float v) { return v != 0; });
  const auto last = std::find_if(samples.rbegin(), samples.rend(), [](float v) { return v != 0; }).base();
  return first < last ? std::vector<float>(first, last) : std::vector<float>{};
}

std::vector<float> pieces(std::initializer_list<std::pair<std::size_t, float>> pieces) {
  std::vector<float> out;
  for (const auto& [count, value] : pieces) out.insert(out.end(), count, value);
  return out;
}

TEST(WasapiStream, DeliversEachPacketOnTheTimeline) {
  struct Case {
    std::string name;
    std::vector<Scripted> script;
    std::vector<float> expected;  // trimmed
    std::vector<std::string> notices;
  };
  const std::string dropped480 =
      "the audio engine dropped 480 frames (0.010 s) of the output's audio; filled with silence";
  const Case cases[] = {
      {"a packet flagged silent is zeros",
       {{480, 0.25f, 0, 0}, {480, 0.9f, AUDCLNT_BUFFERFLAGS_SILENT, 480}, {480, 0.5f, 0, 960}},
       pieces({{480, 0.25f}, {480, 0.f}, {480, 0.5f}}),
       {}},
      {"a hole in the position is silence of its length, reported once audio flows",
       {{480, 0.25f, 0, 0}, {480, 0.5f, 0, 960}, {480, 0.75f, 0, 1440}},
       pieces({{480, 0.25f}, {480, 0.f}, {480, 0.5f}, {480, 0.75f}}),
       {dropped480}},
      {"a packet longer than a delivery goes whole", {{5000, 0.25f, 0, 0}}, pieces({{5000, 0.25f}}), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Session capture({c.script});
    capture.waitFor([&](Seen& seen) { return trimmed(seen.samples).size() >= c.expected.size(); });
    std::lock_guard lock(capture.seen.mutex);
    EXPECT_EQ(trimmed(capture.seen.samples), c.expected);
    std::vector<std::string> notices;
    for (const SourceReport& report : capture.seen.reports) {
      EXPECT_EQ(report.kind, SourceReport::Kind::Notice);
      notices.push_back(report.message);
    }
    EXPECT_EQ(notices, c.notices);
  }
}

// Loopback sends nothing while nothing plays: the clock's time comes as
// silence, and no audio is reported dropped.
TEST(WasapiStream, QuietIsSilenceByTheClock) {
  Session capture({{{480, 0.25f, 0, 0}}});
  capture.waitFor([](Seen& seen) { return seen.samples.size() > 480 + 4800; });
  std::lock_guard lock(capture.seen.mutex);
  EXPECT_EQ(trimmed(capture.seen.samples), pieces({{480, 0.25f}}));
  EXPECT_TRUE(capture.seen.reports.empty());
}

// The other trees' audio is added to the first's, none of it lost or doubled.
TEST(WasapiStream, SumsTheLegs) {
  Session capture({{{480, 0.25f, 0, 0}, {480, 0.25f, 0, 480}}, {{480, 0.5f, 0, 0}}});
  capture.waitFor([](Seen& seen) { return seen.samples.size() >= 960; });
  capture.waitFor([](Seen& seen) {
    return std::accumulate(seen.samples.begin(), seen.samples.end(), 0.0) >=
           2 * 480 * 0.25 + 480 * 0.5 - 0.01;
  });
  std::lock_guard lock(capture.seen.mutex);
  EXPECT_NEAR(std::accumulate(capture.seen.samples.begin(), capture.seen.samples.end(), 0.0),
              2 * 480 * 0.25 + 480 * 0.5, 0.01);
}

TEST(WasapiStream, ReportsTheEndOfTheCaptureOnce) {
  struct Case {
    HRESULT error;
    SourceReport::Kind kind;
    std::string message;
  };
  const Case cases[] = {
      {AUDCLNT_E_DEVICE_INVALIDATED, SourceReport::Kind::DeviceLost,
       "the output device \"dev\" is no longer alive"},
      {AUDCLNT_E_SERVICE_NOT_RUNNING, SourceReport::Kind::SystemRestarted,
       "the audio system restarted: the capture's stream is gone"},
      {E_FAIL, SourceReport::Kind::DeviceLost,
       "the capture of the output device \"dev\" failed: IAudioCaptureClient returned 0x80004005"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Session capture({{{480, 0.25f, 0, 0}, {480, 0, 0, 480, c.error}}});
    capture.waitFor([](Seen& seen) { return !seen.reports.empty(); });
    std::this_thread::sleep_for(50ms);
    std::lock_guard lock(capture.seen.mutex);
    ASSERT_EQ(capture.seen.reports.size(), 1u);
    EXPECT_EQ(capture.seen.reports[0].kind, c.kind);
    EXPECT_EQ(capture.seen.reports[0].message, c.message);
  }
}

}  // namespace
}  // namespace audiotap::platform::windows
