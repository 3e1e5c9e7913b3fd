#include "platform/windows/wasapi/process_loopback.h"

#include <mmdeviceapi.h>

#include <atomic>

#include "platform/windows/wasapi/activation_params.h"

namespace audiotap::platform::windows {
namespace {

constexpr DWORD kFirstBuild = 20348;
constexpr DWORD kActivationMilliseconds = 5000;

struct OsVersion {
  ULONG size;
  ULONG major, minor, build, platform;
  WCHAR servicePack[128];
};

// Signals an event when the activation completes. Agile: the system calls it
// from a thread of its own.
class Completion final : public IActivateAudioInterfaceCompletionHandler, public IAgileObject {
 public:
  Completion() : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IActivateAudioInterfaceCompletionHandler)) {
      *out = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
    } else if (iid == __uuidof(IAgileObject)) {
      *out = static_cast<IAgileObject*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation*) override {
    SetEvent(done_);
    return S_OK;
  }

  bool wait(DWORD milliseconds) const {
    return done_ != nullptr && WaitForSingleObject(done_, milliseconds) == WAIT_OBJECT_0;
  }

 private:
  ~Completion() {
    if (done_ != nullptr) CloseHandle(done_);
  }
  std::atomic<ULONG> references_{1};
  const HANDLE done_;
};

}  // namespace

bool hasProcessLoopback() {
  // RtlGetVersion tells the truth where GetVersionEx answers by the manifest.
  using RtlGetVersion = LONG(WINAPI*)(OsVersion*);
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return false;
  const auto get =
      reinterpret_cast<RtlGetVersion>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion")));
  OsVersion version{};
  version.size = sizeof version;
  if (get == nullptr || get(&version) != 0) return false;
  return version.major > 10 || (version.major == 10 && version.build >= kFirstBuild);
}

HRESULT activateProcessLoopback(DWORD pid, bool include, Com<IAudioClient>& out) {
  AUDIOCLIENT_ACTIVATION_PARAMS params{};
  params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
  params.ProcessLoopbackParams.TargetProcessId = pid;
  params.ProcessLoopbackParams.ProcessLoopbackMode = include
                                                         ? PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE
                                                         : PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;
  PROPVARIANT activation{};
  activation.vt = VT_BLOB;
  activation.blob.cbSize = sizeof params;
  activation.blob.pBlobData = reinterpret_cast<BYTE*>(&params);

  auto* completion = new Completion();
  Com<IActivateAudioInterfaceAsyncOperation> operation;
  HRESULT status = ActivateAudioInterfaceAsync(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, __uuidof(IAudioClient),
                                               &activation, completion, operation.put());
  if (SUCCEEDED(status) && !completion->wait(kActivationMilliseconds))
    status = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
  completion->Release();
  if (FAILED(status)) return status;
  HRESULT result = E_FAIL;
  Com<IUnknown> activated;
  status = operation->GetActivateResult(&result, activated.put());
  if (FAILED(status)) return status;
  if (FAILED(result)) return result;
  if (!activated) return E_NOINTERFACE;
  return activated->QueryInterface(__uuidof(IAudioClient), out.putVoid());
}

}  // namespace audiotap::platform::windows
