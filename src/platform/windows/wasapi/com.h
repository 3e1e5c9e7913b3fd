// Small COM helpers: an owning interface pointer, the apartment of the
// calling thread, and the text of endpoint IDs and statuses.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>

namespace audiotap::platform::windows {

template <class T>
class Com {
 public:
  Com() = default;
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  Com(Com&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Com& operator=(Com&& other) noexcept {
    if (this != &other) {
      reset();
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~Com() { reset(); }

  void reset() {
    if (p_ != nullptr) std::exchange(p_, nullptr)->Release();
  }
  T** put() {
    reset();
    return &p_;
  }
  void** putVoid() { return reinterpret_cast<void**>(put()); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// Joins the calling thread to the multithreaded apartment for as long as it
// lives. A thread already in a single-threaded one stays there: the audio
// interfaces are free-threaded either way.
class ComApartment {
 public:
  ComApartment();
  ~ComApartment();
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  bool joined_;
};

// Joins the calling thread for the rest of its life, once.
void joinApartmentForThread();

std::string utf8(const wchar_t* text);
// "0x88890004"
std::string hex(HRESULT status);

}  // namespace audiotap::platform::windows
