#include "platform/windows/wasapi/endpoints.h"

#include <atomic>

namespace audiotap::platform::windows {

HRESULT makeEnumerator(Com<IMMDeviceEnumerator>& out) {
  return CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                          out.putVoid());
}

HRESULT defaultRenderEndpoint(IMMDeviceEnumerator* enumerator, Endpoint& out) {
  Com<IMMDevice> device;
  HRESULT status = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.put());
  if (FAILED(status)) return status;
  if (!device) return E_POINTER;
  LPWSTR id = nullptr;
  status = device->GetId(&id);
  if (FAILED(status)) return status;
  out.id = utf8(id);
  CoTaskMemFree(id);
  out.device = std::move(device);
  return S_OK;
}

class NotificationClient final : public IMMNotificationClient {
 public:
  explicit NotificationClient(std::function<void()> changed) : changed_(std::move(changed)) {}

  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMNotificationClient)) {
      *out = static_cast<IMMNotificationClient*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) override {
    if (flow == eRender && role == eConsole) changed_();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }

 private:
  ~NotificationClient() = default;
  std::atomic<ULONG> references_{1};
  const std::function<void()> changed_;
};

DefaultWatch::~DefaultWatch() { stop(); }

HRESULT DefaultWatch::watch(IMMDeviceEnumerator* enumerator, std::function<void()> changed) {
  stop();
  auto* client = new NotificationClient(std::move(changed));
  const HRESULT status = enumerator->RegisterEndpointNotificationCallback(client);
  if (FAILED(status)) {
    client->Release();
    return status;
  }
  enumerator->AddRef();
  *enumerator_.put() = enumerator;
  client_ = client;
  return S_OK;
}

void DefaultWatch::stop() {
  if (client_ == nullptr) return;
  enumerator_->UnregisterEndpointNotificationCallback(client_);
  client_->Release();
  client_ = nullptr;
  enumerator_.reset();
}

}  // namespace audiotap::platform::windows
