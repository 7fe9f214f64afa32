// One owner for every handle-like value: kernel handles, file descriptors, system buffers.
#pragma once

#include <utility>

namespace velmora::computer_use {

// Move-only; closes what it holds through `Traits`, which provides:
//   using Handle = ...;                  the handle's type
//   static Handle Invalid();             the value that owns nothing
//   static bool IsValid(Handle handle);  whether there is something to close
//   static void Close(Handle handle);    releases a valid handle
template <typename Traits>
class ScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  ScopedHandle() = default;
  explicit ScopedHandle(Handle handle) : handle_(handle) {}
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.Release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() { Reset(); }

  Handle Get() const { return handle_; }
  bool Valid() const { return Traits::IsValid(handle_); }
  // Gives up ownership without closing.
  [[nodiscard]] Handle Release() { return std::exchange(handle_, Traits::Invalid()); }
  void Reset(Handle handle = Traits::Invalid()) {
    const Handle previous = std::exchange(handle_, handle);
    if (Traits::IsValid(previous)) Traits::Close(previous);
  }
  // For a call that hands a handle over through an out parameter; what was held is closed
  // first so that it cannot leak.
  Handle* Put() {
    Reset();
    return &handle_;
  }

 private:
  Handle handle_ = Traits::Invalid();
};

}  // namespace velmora::computer_use
