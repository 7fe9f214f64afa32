// The Win32 handle kinds the backend owns, as ScopedHandle traits.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// These need <windows.h> first.
#include <bcrypt.h>
#include <winstring.h>
#include <wtsapi32.h>

#include "common/scoped_handle.h"

namespace velmora::computer_use::platform::win32 {

// A kernel object: CreateFile answers INVALID_HANDLE_VALUE, most other calls null.
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) { CloseHandle(handle); }
};
using UniqueHandle = ScopedHandle<KernelHandleTraits>;

// A handle whose one invalid value is null, released by `Closer`.
template <typename HandleType, auto Closer>
struct NullHandleTraits {
  using Handle = HandleType;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle handle) { return handle != nullptr; }
  static void Close(Handle handle) { Closer(handle); }
};

inline void CloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm) {
  BCryptCloseAlgorithmProvider(algorithm, 0);
}
// WTSFreeMemory takes the buffer the Remote Desktop Services API allocated for its answer.
inline void FreeWtsMemory(LPWSTR buffer) {
  WTSFreeMemory(buffer);
}

using BcryptAlgorithm = ScopedHandle<NullHandleTraits<BCRYPT_ALG_HANDLE, &CloseAlgorithmProvider>>;
using BcryptHash = ScopedHandle<NullHandleTraits<BCRYPT_HASH_HANDLE, &BCryptDestroyHash>>;
using WtsMemory = ScopedHandle<NullHandleTraits<LPWSTR, &FreeWtsMemory>>;
using UniqueDesktop = ScopedHandle<NullHandleTraits<HDESK, &CloseDesktop>>;
// A Windows Runtime string a call handed over; null is the empty string and owns nothing.
using UniqueHString = ScopedHandle<NullHandleTraits<HSTRING, &WindowsDeleteString>>;

}  // namespace velmora::computer_use::platform::win32
