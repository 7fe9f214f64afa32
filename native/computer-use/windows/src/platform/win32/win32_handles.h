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

struct BcryptAlgorithmTraits {
  using Handle = BCRYPT_ALG_HANDLE;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle handle) { return handle != nullptr; }
  static void Close(Handle handle) { BCryptCloseAlgorithmProvider(handle, 0); }
};
using BcryptAlgorithm = ScopedHandle<BcryptAlgorithmTraits>;

struct BcryptHashTraits {
  using Handle = BCRYPT_HASH_HANDLE;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle handle) { return handle != nullptr; }
  static void Close(Handle handle) { BCryptDestroyHash(handle); }
};
using BcryptHash = ScopedHandle<BcryptHashTraits>;

// A buffer the Remote Desktop Services API allocated for its answer.
struct WtsMemoryTraits {
  using Handle = LPWSTR;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle handle) { return handle != nullptr; }
  static void Close(Handle handle) { WTSFreeMemory(handle); }
};
using WtsMemory = ScopedHandle<WtsMemoryTraits>;

struct DesktopTraits {
  using Handle = HDESK;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle handle) { return handle != nullptr; }
  static void Close(Handle handle) { CloseDesktop(handle); }
};
using UniqueDesktop = ScopedHandle<DesktopTraits>;

// A Windows Runtime string a call handed over; null is the empty string and owns nothing.
struct HStringTraits {
  using Handle = HSTRING;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle handle) { return handle != nullptr; }
  static void Close(Handle handle) { WindowsDeleteString(handle); }
};
using UniqueHString = ScopedHandle<HStringTraits>;

}  // namespace velmora::computer_use::platform::win32
