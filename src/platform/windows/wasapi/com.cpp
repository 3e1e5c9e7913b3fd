#include "platform/windows/wasapi/com.h"

#include <objbase.h>

#include <cstdio>

namespace audiotap::platform::windows {

ComApartment::ComApartment() : joined_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}

ComApartment::~ComApartment() {
  if (joined_) CoUninitialize();
}

void joinApartmentForThread() { thread_local const ComApartment apartment; }

std::string utf8(const wchar_t* text) {
  if (text == nullptr) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(std::size_t(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(std::size_t(size - 1));
  return out;
}

std::string hex(HRESULT status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
  return text;
}

}  // namespace audiotap::platform::windows
