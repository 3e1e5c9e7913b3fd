#include "tone.h"

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <windows.h>

#include <chrono>
#include <cmath>
#include <numbers>

#include "platform/windows/wasapi/com.h"
#include "platform/windows/wasapi/endpoints.h"

namespace audiotap::testing {

using platform::windows::Com;

Tone::Tone(double frequency, float amplitude) : thread_([=, this] { play(frequency, amplitude); }) {
  while (state_.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

Tone::~Tone() {
  stop_ = true;
  thread_.join();
}

void Tone::play(double frequency, float amplitude) {
  const platform::windows::ComApartment apartment;
  auto fail = [this](const char* what, HRESULT status) {
    error_ = std::string(what) + " failed: " + platform::windows::hex(status);
    state_ = 2;
  };
  Com<IMMDeviceEnumerator> enumerator;
  platform::windows::Endpoint endpoint;
  HRESULT status = platform::windows::makeEnumerator(enumerator);
  if (FAILED(status)) return fail("CoCreateInstance", status);
  if (FAILED(status = platform::windows::defaultRenderEndpoint(enumerator.get(), endpoint)))
    return fail("GetDefaultAudioEndpoint", status);
  Com<IAudioClient> client;
  if (FAILED(status =
                 endpoint.device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.putVoid())))
    return fail("Activate", status);
  WAVEFORMATEX* mix = nullptr;
  if (FAILED(status = client->GetMixFormat(&mix))) return fail("GetMixFormat", status);
  // Shared mode takes float32 in the mix's rate and channels whatever the mix is.
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  format.nChannels = mix->nChannels;
  format.nSamplesPerSec = mix->nSamplesPerSec;
  format.wBitsPerSample = 32;
  format.nBlockAlign = WORD(4 * format.nChannels);
  format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
  CoTaskMemFree(mix);
  const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  Com<IAudioRenderClient> render;
  UINT32 bufferFrames = 0;
  if (FAILED(status =
                 client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                    AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM,
                                    400'000, 0, &format, nullptr)) ||
      FAILED(status = client->SetEventHandle(event)) ||
      FAILED(status = client->GetBufferSize(&bufferFrames)) ||
      FAILED(status = client->GetService(__uuidof(IAudioRenderClient), render.putVoid()))) {
    CloseHandle(event);
    return fail("the render client", status);
  }
  const double step = 2 * std::numbers::pi * frequency / format.nSamplesPerSec;
  double phase = 0;
  auto fill = [&] {
    UINT32 padding = 0;
    if (FAILED(client->GetCurrentPadding(&padding))) return;
    const UINT32 frames = bufferFrames - padding;
    BYTE* data = nullptr;
    if (frames == 0 || FAILED(render->GetBuffer(frames, &data))) return;
    auto* out = reinterpret_cast<float*>(data);
    for (UINT32 i = 0; i < frames; ++i, phase += step) {
      for (WORD c = 0; c < format.nChannels; ++c)
        out[i * format.nChannels + c] = amplitude * float(std::sin(phase));
    }
    phase = std::fmod(phase, 2 * std::numbers::pi);
    render->ReleaseBuffer(frames, 0);
  };
  fill();
  if (FAILED(status = client->Start())) {
    CloseHandle(event);
    return fail("Start", status);
  }
  state_ = 1;
  while (!stop_) {
    WaitForSingleObject(event, 20);
    fill();
  }
  client->Stop();
  CloseHandle(event);
}

}  // namespace audiotap::testing
