// The render endpoints: which one is the default (console role), its ID, and
// a watch on the default changing.
#pragma once

#include <mmdeviceapi.h>

#include <functional>
#include <optional>
#include <string>

#include "platform/windows/wasapi/com.h"

namespace audiotap::platform::windows {

struct Endpoint {
  Com<IMMDevice> device;
  std::string id;
};

// The enumerator, or the status of its creation.
HRESULT makeEnumerator(Com<IMMDeviceEnumerator>& out);
// The default render endpoint; E_NOTFOUND-like failures when there is none.
HRESULT defaultRenderEndpoint(IMMDeviceEnumerator* enumerator, Endpoint& out);

class NotificationClient;

// Calls `changed` (on a thread of the system's) each time the default render
// endpoint of the console role changes. Unregistered on destruction, after
// which `changed` is not called again.
class DefaultWatch {
 public:
  DefaultWatch() = default;
  ~DefaultWatch();
  DefaultWatch(const DefaultWatch&) = delete;
  DefaultWatch& operator=(const DefaultWatch&) = delete;

  HRESULT watch(IMMDeviceEnumerator* enumerator, std::function<void()> changed);
  void stop();

 private:
  Com<IMMDeviceEnumerator> enumerator_;
  NotificationClient* client_ = nullptr;
};

}  // namespace audiotap::platform::windows
