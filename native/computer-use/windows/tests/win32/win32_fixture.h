// The real win32 backend assembled into platforms for the tests under Wine: all real, or with
// the session query (which Wine lacks) answered by the test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>

#include "platform/win32/win32_api.h"
#include "platform/win32/win32_capture.h"
#include "support/test_support.h"

namespace velmora::computer_use {

// One real platform of the backend, with the session query answered by the test.
class Win32Fixture : public ::testing::Test {
 protected:
  class SimulatedSessionQuery final : public platform::SessionApi {
   public:
    explicit SimulatedSessionQuery(platform::win32::Win32SessionApi& real) : real_(real) {}
    std::optional<std::uint32_t> ProcessIdToSessionId(platform::ProcessId id) override {
      return real_.ProcessIdToSessionId(id);
    }
    std::optional<platform::RawSessionInfo> QuerySessionInfo(std::uint32_t sessionId) override {
      return platform::RawSessionInfo{.bufferBytes = sizeof(WTSINFOEXW),
                                      .level = 1,
                                      .sessionId = sessionId,
                                      .sessionState = 0,
                                      .sessionFlags = 1,
                                      .logonTime = 1,
                                      .connectTime = connectTime};
    }
    std::optional<std::u16string> InputDesktopName() override { return real_.InputDesktopName(); }
    bool RegisterSessionNotification(platform::WindowHandle window) override {
      return real_.RegisterSessionNotification(window);
    }
    void UnregisterSessionNotification(platform::WindowHandle window) override {
      real_.UnregisterSessionNotification(window);
    }
    std::atomic<std::int64_t> connectTime{2};

   private:
    platform::win32::Win32SessionApi& real_;
  };

  platform::Platform RealPlatform() { return PlatformWith(sessions_); }
  platform::Platform SimulatedSessionPlatform() { return PlatformWith(simulated_); }
  platform::Platform PlatformWith(platform::SessionApi& sessions) {
    return platform::Platform{input_,      output_, runtime_,     processes_, sessions,
                              windows_,    loops_,  processInfo_, crypto_,    displays_,
                              automation_, system_, capture_,     injection_};
  }

  testing::EmptyInput input_;
  testing::CapturedOutput output_;
  platform::win32::Win32Runtime runtime_;
  platform::win32::Win32ProcessApi processes_;
  platform::win32::Win32SessionApi sessions_;
  SimulatedSessionQuery simulated_{sessions_};
  platform::win32::Win32WindowApi windows_;
  platform::win32::Win32MessageLoopApi loops_;
  platform::win32::Win32ProcessInfoApi processInfo_;
  platform::win32::Win32CryptoApi crypto_;
  platform::win32::Win32DisplayApi displays_;
  platform::win32::Win32AutomationApi automation_;
  platform::win32::Win32SystemApi system_;
  platform::win32::Win32CaptureApi capture_;
  platform::win32::Win32InputApi injection_;
};

// For what Wine is known to do differently, told apart from a fault by what a test observes.
inline bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The calling thread in the multithreaded COM apartment for the object's lifetime.
class ComApartment {
 public:
  ComApartment() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  bool Entered() const { return SUCCEEDED(result_); }

 private:
  HRESULT result_;
};

inline POINT Center(HWND window) {
  RECT rect{};
  GetWindowRect(window, &rect);
  return POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

// The element of a window; the call is expected to succeed.
inline std::unique_ptr<platform::UiaElement> ElementOf(platform::UiaClient& client, HWND window) {
  platform::HResult result = E_FAIL;
  std::unique_ptr<platform::UiaElement> element =
      client.ElementFromHandle(platform::win32::FromHwnd(window), result);
  EXPECT_TRUE(SUCCEEDED(result)) << std::hex << result;
  return element;
}

// Expects the answer of `call`, or skips where the call answers nothing (Wine: E_NOTIMPL).
template <typename T>
void ExpectOrSkip(const std::optional<T>& answer, const T& expected, const char* call) {
  if (!answer) GTEST_SKIP() << call << " is not available";
  EXPECT_EQ(*answer, expected);
}

}  // namespace velmora::computer_use
