// The win32 backend's calls, where Wine implements them; the session query, which Wine lacks,
// is replaced by a simulated source where a test needs a good session.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "observe/uia_observer.h"
#include "platform/sim/sim_crypto.h"
#include "platform/win32/win32_api.h"
#include "process/grant_foreground.h"
#include "process/parent_watchdog.h"
#include "protocol/frame_protocol.h"
#include "safety/session_monitor.h"
#include "support/test_support.h"
#include "win32/win32_fixture.h"

namespace velmora::computer_use {
namespace {

using namespace platform::win32;
using std::chrono::milliseconds;
using testing::CallCounter;

struct AnonymousPipe {
  AnonymousPipe() { EXPECT_TRUE(CreatePipe(readEnd.Put(), writeEnd.Put(), nullptr, 0)); }
  UniqueHandle readEnd;
  UniqueHandle writeEnd;
};

// A child of this process that waits on its standard input until it is ended.
struct WaitingChild {
  WaitingChild() {
    SetHandleInformation(input.readEnd.Get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.readEnd.Get();
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring command = L"cmd.exe /c pause";
    PROCESS_INFORMATION info{};
    EXPECT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &startup, &info));
    process.Reset(info.hProcess);
    thread.Reset(info.hThread);
    processId = info.dwProcessId;
  }
  ~WaitingChild() { TerminateProcess(process.Get(), 0); }

  AnonymousPipe input;
  UniqueHandle process;
  UniqueHandle thread;
  DWORD processId = 0;
};

TEST(Win32Pipes, FramesCrossAnAnonymousPipeInChunks) {
  AnonymousPipe pipe;
  HandleOutputStream out(pipe.writeEnd.Get());
  HandleInputStream in(pipe.readEnd.Get());
  FrameWriter writer(out);
  FrameReader reader(in);
  const std::vector<std::uint8_t> payload(MaxBinaryPayloadBytes, 0x5A);
  Json big = Json::object();
  big["text"] = std::string(MaxJsonTextBytes - 11, 'j');
  ASSERT_EQ(SerializeJson(big).size(), MaxJsonTextBytes);
  std::thread writing([&] {
    writer.WriteBinary("image:r1", payload);
    writer.WriteJson(big);
    pipe.writeEnd.Reset();  // end of input for the reader
  });
  const std::optional<Frame> binary = reader.Read();
  const std::optional<Frame> json = reader.Read();
  const std::optional<Frame> end = reader.Read();
  writing.join();
  ASSERT_TRUE(binary && json);
  EXPECT_EQ(binary->requestId, "image:r1");
  EXPECT_EQ(binary->payload, payload);
  EXPECT_EQ(json->json, big);
  EXPECT_FALSE(end.has_value());  // a broken pipe is the end of input
}

TEST(Win32Pipes, ClosedReaderIsABrokenPipe) {
  AnonymousPipe pipe;
  pipe.readEnd.Reset();
  HandleOutputStream out(pipe.writeEnd.Get());
  const std::uint8_t byte = 1;
  EXPECT_EQ(out.Write(&byte, 1).status, platform::IoStatus::kBrokenPipe);
  FrameWriter writer(out);
  EXPECT_THROW(writer.WriteJson(Json::object()), ProtocolError);
}

TEST_F(Win32Fixture, ProcessesPathsAndSessions) {
  const platform::ProcessId self = processes_.CurrentProcessId();
  EXPECT_EQ(self, GetCurrentProcessId());
  // Started from a Unix process under Wine, this process has no parent of its own to look at.
  const WaitingChild child;
  EXPECT_EQ(ParentProcessId(processes_, child.processId), self);
  EXPECT_EQ(ParentProcessId(processes_, 0xFFFFFFF0u), 0u);

  const std::optional<std::u16string> own = processes_.OwnModuleFileName();
  ASSERT_TRUE(own.has_value());
  EXPECT_TRUE(EqualsIgnoringCase(own->substr(own->size() - 22), u"computer_use_tests.exe"))
      << ToUtf8(*own);
  const std::unique_ptr<platform::ProcessHandle> handle = processes_.OpenProcess(self);
  ASSERT_TRUE(handle);
  const std::optional<std::u16string> image = processes_.ProcessImagePath(*handle);
  ASSERT_TRUE(image.has_value());
  EXPECT_TRUE(EqualsIgnoringCase(*image, *own)) << ToUtf8(*image) << " " << ToUtf8(*own);
  EXPECT_TRUE(processes_.IsStillRunning(*handle));

  const std::optional<std::uint32_t> session = sessions_.ProcessIdToSessionId(self);
  ASSERT_TRUE(session.has_value());
  EXPECT_EQ(sessions_.ProcessIdToSessionId(child.processId), session);
  EXPECT_FALSE(processes_.OpenProcess(0xFFFFFFF0u));
}

TEST_F(Win32Fixture, InputDesktopIsDefault) {
  const std::optional<std::u16string> name = sessions_.InputDesktopName();
  ASSERT_TRUE(name.has_value());
  EXPECT_TRUE(IsDefaultDesktopName(*name)) << ToUtf8(*name);
  EXPECT_TRUE(IsInputDesktopDefault(sessions_));
}

TEST_F(Win32Fixture, ProcessApartmentAndDpiAwareness) {
  runtime_.SetPerMonitorDpiAwareV2();
  EXPECT_TRUE(runtime_.InitializeProcessApartment());
  EXPECT_TRUE(runtime_.InitializeProcessApartment());  // already entered: still usable
  CoUninitialize();
  CoUninitialize();
}

// Where the real session query fails (as under Wine), the snapshot is zero and the monitor
// refuses from the start; on Windows the same test sees a good session.
TEST_F(Win32Fixture, RealSessionQueryDecidesTheMonitor) {
  platform::Platform platform = RealPlatform();
  const bool queryWorks =
      sessions_.QuerySessionInfo(*sessions_.ProcessIdToSessionId(GetCurrentProcessId()))
          .has_value();
  const SessionSnapshot snapshot = CaptureSessionSnapshot(platform);
  CallCounter unsafe;
  DesktopSessionMonitor monitor(platform, std::ref(unsafe),
                                [&platform] { return CaptureSessionSnapshot(platform); }, {});
  if (queryWorks) {
    EXPECT_TRUE(snapshot.IsGood());
    EXPECT_TRUE(monitor.Start());
  } else {
    EXPECT_EQ(snapshot.sessionId, 0u);
    EXPECT_FALSE(snapshot.IsGood());
    EXPECT_FALSE(monitor.Start());
    EXPECT_TRUE(unsafe.WaitFor(1));
  }
  monitor.Stop();
}

TEST_F(Win32Fixture, MonitorThreadStartsWatchesAndStopsCleanly) {
  platform::Platform platform = SimulatedSessionPlatform();
  CallCounter unsafe;
  DesktopSessionMonitor monitor(platform, std::ref(unsafe),
                                [&platform] { return CaptureSessionSnapshot(platform); }, {});
  ASSERT_TRUE(monitor.Start());
  EXPECT_TRUE(monitor.IsArmed());
  const HWND window =
      FindWindowW(reinterpret_cast<const wchar_t*>(kSessionMonitorClassName.data()), nullptr);
  ASSERT_NE(window, nullptr);

  // A lock notification for this session, as the system would post it.
  const std::uint32_t session = *sessions_.ProcessIdToSessionId(GetCurrentProcessId());
  ASSERT_TRUE(PostMessageW(window, WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK, session));
  ASSERT_TRUE(unsafe.WaitFor(1));
  EXPECT_FALSE(monitor.IsSessionSafe());
  monitor.Stop();
  EXPECT_EQ(FindWindowW(reinterpret_cast<const wchar_t*>(kSessionMonitorClassName.data()), nullptr),
            nullptr);
  EXPECT_EQ(unsafe.Count(), 1);
}

TEST_F(Win32Fixture, MonitorTimerSeesAReconnect) {
  platform::Platform platform = SimulatedSessionPlatform();
  CallCounter unsafe;
  DesktopSessionMonitor monitor(platform, std::ref(unsafe),
                                [&platform] { return CaptureSessionSnapshot(platform); }, {});
  ASSERT_TRUE(monitor.Start());
  simulated_.connectTime = 3;
  // Nobody asks: the 100 ms timer finds it.
  ASSERT_TRUE(unsafe.WaitFor(1, milliseconds(3000)));
  EXPECT_FALSE(monitor.IsArmed());
}

TEST_F(Win32Fixture, WatchdogSeesAChildEnd) {
  WaitingChild child;
  ParentWatchdog watchdog(processes_);
  CallCounter exits;
  ASSERT_TRUE(watchdog.Start(
      child.processId, [] {}, std::ref(exits)));
  const auto ended = std::chrono::steady_clock::now();
  TerminateProcess(child.process.Get(), 0);
  ASSERT_TRUE(exits.WaitFor(1, milliseconds(2000)));
  EXPECT_LT(std::chrono::steady_clock::now() - ended, milliseconds(1500));
}

TEST(Win32Crypto, BcryptAgreesWithKnownDigestsAndThePortableHash) {
  Win32CryptoApi crypto;
  platform::sim::SimCrypto portable;
  EXPECT_EQ(Sha256Hex(crypto, ""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex(crypto, "abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  for (std::size_t size : {1u, 55u, 56u, 64u, 65u, 1000u, 100000u}) {
    const std::string input(size, static_cast<char>('a' + size % 26));
    EXPECT_EQ(Sha256Hex(crypto, input), Sha256Hex(portable, input)) << size;
  }
}

// A top-level window of this process with a child button, on this thread.
class RealWindows : public Win32Fixture {
 protected:
  void SetUp() override {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VelmoraIdentityTest";
    RegisterClassExW(&windowClass);
    top_ = CreateWindowExW(0, L"VelmoraIdentityTest", L"Identity \u00e9 test", WS_OVERLAPPEDWINDOW,
                           10, 10, 300, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(top_, nullptr);
    button_ = CreateWindowExW(0, L"BUTTON", L"OK", WS_CHILD | WS_VISIBLE, 5, 5, 80, 24, top_,
                              nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(button_, nullptr);
  }
  void TearDown() override {
    if (top_ != nullptr) DestroyWindow(top_);
  }

  HWND top_ = nullptr;
  HWND button_ = nullptr;
};

TEST_F(RealWindows, IdentitiesThroughTheRealWindowCalls) {
  platform::Platform platform = SimulatedSessionPlatform();
  EXPECT_EQ(CheckWindowAccess(platform, FromHwnd(top_)), kWindowAccessAllowed);
  const Observation top = DescribeWindow(platform, FromHwnd(top_));
  const Observation child = DescribeWindow(platform, FromHwnd(button_));
  EXPECT_EQ(child.windowIdentity, top.windowIdentity);
  EXPECT_EQ(top.windowIdentity, "hwnd:" + std::to_string(reinterpret_cast<std::uintptr_t>(top_)) +
                                    ":pid:" + std::to_string(GetCurrentProcessId()));
  EXPECT_EQ(top.window, FromHwnd(top_));
  EXPECT_EQ(top.windowTitle, u"Identity \u00e9 test");
  EXPECT_EQ(top.appName, u"computer_use_tests.exe");

  // The identity hashes this process's image path; the portable hash agrees.
  platform::sim::SimCrypto portable;
  const std::u16string path = GetProcessImagePath(platform, GetCurrentProcessId());
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(top.appIdentity, "exe_path_sha256:" + Sha256Hex(portable, ToUtf8Strict(path)));
  EXPECT_NE(GetProcessIntegrityLevel(platform, GetCurrentProcessId()), 0u);

  // Gone windows and unreadable processes.
  EXPECT_EQ(CheckWindowAccess(platform, platform::kNullWindow), kWindowAccessUnavailable);
  DestroyWindow(top_);
  EXPECT_EQ(CheckWindowAccess(platform, FromHwnd(top_)), kWindowAccessUnavailable);
  top_ = nullptr;
  EXPECT_EQ(GetProcessImagePath(platform, 0xFFFFFFF0u), u"");
  EXPECT_EQ(GetProcessIntegrityLevel(platform, 0xFFFFFFF0u), 0u);
}

TEST_F(RealWindows, RealSessionQueryGatesEveryWindow) {
  platform::Platform platform = RealPlatform();
  const bool queryWorks = CaptureSessionSnapshot(platform).IsGood();
  EXPECT_EQ(CheckWindowAccess(platform, FromHwnd(top_)),
            queryWorks ? kWindowAccessAllowed : kWindowAccessSessionLocked);
}

TEST_F(Win32Fixture, DisplaysEnumerateWithNamesAndDpi) {
  const std::vector<platform::MonitorDescription> monitors = displays_.EnumerateMonitors();
  ASSERT_FALSE(monitors.empty());
  for (const platform::MonitorDescription& monitor : monitors) {
    EXPECT_LT(monitor.rect.left, monitor.rect.right);
    EXPECT_LT(monitor.rect.top, monitor.rect.bottom);
    ASSERT_TRUE(monitor.deviceName.has_value());
    EXPECT_FALSE(monitor.deviceName->empty());
  }
  // Stable while nothing changes.
  EXPECT_EQ(DisplayTopologyHash(displays_), DisplayTopologyHash(displays_));
  EXPECT_NE(DisplayTopologyHash(displays_), 2166136261u);
}

platform::Rect WindowRectOf(HWND window) {
  RECT rect{};
  EXPECT_TRUE(GetWindowRect(window, &rect));
  return platform::Rect{rect.left, rect.top, rect.right, rect.bottom};
}

bool Contains(const std::vector<platform::WindowHandle>& windows, HWND window) {
  return std::find(windows.begin(), windows.end(), FromHwnd(window)) != windows.end();
}

TEST_F(RealWindows, TopLevelEnumerationAndWindowStates) {
  const HWND owned = CreateWindowExW(0, L"VelmoraIdentityTest", L"Owned", WS_POPUP, 20, 20, 100, 60,
                                     top_, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(owned, nullptr);
  const std::vector<platform::WindowHandle> windows = windows_.EnumerateTopLevelWindows();
  EXPECT_TRUE(Contains(windows, top_));
  EXPECT_TRUE(Contains(windows, owned));  // owned windows are top-level too
  EXPECT_FALSE(Contains(windows, button_));

  // Hidden: not visible, and neither is the child whose parent it is.
  EXPECT_FALSE(windows_.IsWindowVisible(FromHwnd(top_)));
  EXPECT_FALSE(windows_.IsWindowVisible(FromHwnd(button_)));
  EXPECT_FALSE(windows_.IsIconic(FromHwnd(top_)));
  EXPECT_EQ(windows_.OwnerWindow(FromHwnd(top_)), platform::kNullWindow);
  EXPECT_EQ(windows_.OwnerWindow(FromHwnd(owned)), FromHwnd(top_));
  EXPECT_FALSE(windows_.IsWindowVisible(FromHwnd(owned)));

  ShowWindow(top_, SW_SHOWNOACTIVATE);
  EXPECT_TRUE(windows_.IsWindowVisible(FromHwnd(top_)));
  EXPECT_TRUE(windows_.IsWindowVisible(FromHwnd(button_)));
  EXPECT_FALSE(windows_.IsIconic(FromHwnd(top_)));

  ShowWindow(top_, SW_MINIMIZE);
  EXPECT_TRUE(windows_.IsIconic(FromHwnd(top_)));
  EXPECT_TRUE(windows_.IsWindowVisible(FromHwnd(top_)));
  EXPECT_FALSE(windows_.IsIconic(FromHwnd(owned)));

  DestroyWindow(owned);
  EXPECT_FALSE(Contains(windows_.EnumerateTopLevelWindows(), owned));
  EXPECT_EQ(windows_.OwnerWindow(FromHwnd(owned)), platform::kNullWindow);
}

TEST_F(Win32Fixture, NearestMonitorOfAnyRectangle) {
  const std::vector<platform::MonitorDescription> monitors = displays_.EnumerateMonitors();
  ASSERT_FALSE(monitors.empty());
  const auto isEnumerated = [&monitors](const platform::Rect& rect) {
    return std::any_of(monitors.begin(), monitors.end(),
                       [&rect](const platform::MonitorDescription& m) { return m.rect == rect; });
  };

  const platform::Rect inside{monitors[0].rect.left + 1, monitors[0].rect.top + 1,
                              monitors[0].rect.left + 2, monitors[0].rect.top + 2};
  const std::optional<platform::MonitorDescription> own = displays_.MonitorNearestRect(inside);
  ASSERT_TRUE(own.has_value());
  EXPECT_EQ(own->rect, monitors[0].rect);
  EXPECT_EQ(own->deviceName, monitors[0].deviceName);

  const std::optional<platform::MonitorDescription> offScreen =
      displays_.MonitorNearestRect(platform::Rect{-100000, -100000, -99990, -99990});
  ASSERT_TRUE(offScreen.has_value());
  EXPECT_TRUE(isEnumerated(offScreen->rect));
  ASSERT_TRUE(offScreen->deviceName.has_value());
  EXPECT_FALSE(offScreen->deviceName->empty());
  ASSERT_TRUE(offScreen->dpi.has_value());
  EXPECT_GT(offScreen->dpi->x, 0u);
}

TEST(Win32System, GuidsAreDistinctAndFormattedFromTheirMemoryLayout) {
  Win32SystemApi system;
  // A GUID of known value, in its memory layout.
  const GUID known{0xe22ad333, 0xb25f, 0x460c, {0x83, 0xd0, 0x05, 0x81, 0x10, 0x73, 0x95, 0xc9}};
  platform::Guid knownBytes{};
  std::memcpy(knownBytes.data(), &known, knownBytes.size());
  EXPECT_EQ(system.GuidToString(knownBytes), u"{E22AD333-B25F-460C-83D0-0581107395C9}");

  const std::optional<platform::Guid> first = system.CreateGuid();
  const std::optional<platform::Guid> second = system.CreateGuid();
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_NE(*first, *second);
  const std::u16string text = system.GuidToString(*first);
  ASSERT_EQ(text.size(), 38u) << ToUtf8(text);
  EXPECT_NE(text, system.GuidToString(*second));
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (i == 0) {
      EXPECT_EQ(c, u'{');
    } else if (i == 37) {
      EXPECT_EQ(c, u'}');
    } else if (i == 9 || i == 14 || i == 19 || i == 24) {
      EXPECT_EQ(c, u'-') << i;
    } else {
      EXPECT_TRUE((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F')) << i;
    }
  }
  // The first group is the little-endian first field of the layout.
  char expected[9] = {};
  std::snprintf(expected, sizeof expected, "%02X%02X%02X%02X", (*first)[3], (*first)[2],
                (*first)[1], (*first)[0]);
  EXPECT_EQ(ToUtf8(text.substr(1, 8)), expected);
}

TEST(Win32System, FileTimeIsRecentAndNeverGoesBack) {
  Win32SystemApi system;
  constexpr std::uint64_t kJanuary2024 = 133485408000000000ull;
  const std::uint64_t first = system.SystemTimeAsFileTime();
  const std::uint64_t second = system.SystemTimeAsFileTime();
  EXPECT_GT(first, kJanuary2024);
  EXPECT_GE(second, first);
  // Within a day of the coarse clock.
  FILETIME coarse{};
  GetSystemTimeAsFileTime(&coarse);
  const std::uint64_t reference =
      (static_cast<std::uint64_t>(coarse.dwHighDateTime) << 32) | coarse.dwLowDateTime;
  constexpr std::uint64_t kDay = 24ull * 3600 * 10000000;
  EXPECT_LT(reference > second ? reference - second : second - reference, kDay);
}

// The real windows, shown, and a UI Automation client of this process.
class UiaRealWindows : public RealWindows {
 protected:
  void SetUp() override {
    RealWindows::SetUp();
    ASSERT_TRUE(apartment_.Entered());
    runtime_.SetPerMonitorDpiAwareV2();
    ShowWindow(top_, SW_SHOWNOACTIVATE);
    platform::HResult result = 1;
    client_ = automation_.CreateClient(result);
    ASSERT_TRUE(client_) << std::hex << result;
    EXPECT_EQ(result, S_OK);
  }
  void TearDown() override {
    client_.reset();
    RealWindows::TearDown();
  }

  std::unique_ptr<platform::UiaElement> Element(HWND window) { return ElementOf(*client_, window); }

  HWND CreateReadOnlyEdit() {
    return CreateWindowExW(0, L"EDIT", L"text", WS_CHILD | WS_VISIBLE | ES_READONLY, 100, 5, 80, 24,
                           top_, nullptr, GetModuleHandleW(nullptr), nullptr);
  }

  ComApartment apartment_;
  std::unique_ptr<platform::UiaClient> client_;
};

TEST_F(UiaRealWindows, WindowElementsAnswerTheirTypeAndBounds) {
  const std::unique_ptr<platform::UiaElement> top = Element(top_);
  ASSERT_TRUE(top);
  EXPECT_EQ(top->CurrentControlType(), platform::kUiaWindowControlTypeId);
  EXPECT_EQ(top->CurrentBoundingRectangle(), WindowRectOf(top_));
  EXPECT_FALSE(top->HasPattern(platform::kUiaInvokePatternId));
  EXPECT_FALSE(top->ValueIsReadOnly().has_value());  // a window has no Value pattern

  const std::unique_ptr<platform::UiaElement> button = Element(button_);
  ASSERT_TRUE(button);
  EXPECT_EQ(button->CurrentBoundingRectangle(), WindowRectOf(button_));
  EXPECT_NE(button->CurrentBoundingRectangle(), top->CurrentBoundingRectangle());
  // Each element answers its own type (Wine reports the button as a pane, Windows as a button).
  const HWND edit = CreateReadOnlyEdit();
  ASSERT_NE(edit, nullptr);
  const std::unique_ptr<platform::UiaElement> editElement = Element(edit);
  ASSERT_TRUE(editElement);
  EXPECT_EQ(editElement->CurrentControlType(), platform::kUiaEditControlTypeId);
  EXPECT_EQ(editElement->CurrentBoundingRectangle(), WindowRectOf(edit));
}

TEST_F(UiaRealWindows, WindowElementAnswersItsProcessAndHandle) {
  const std::unique_ptr<platform::UiaElement> top = Element(top_);
  ASSERT_TRUE(top);
  const std::optional<std::int32_t> processId = top->CurrentProcessId();
  const std::optional<platform::WindowHandle> handle = top->CurrentNativeWindowHandle();
  if (!processId && !handle) {
    GTEST_SKIP() << "get_CurrentProcessId and get_CurrentNativeWindowHandle are not available";
  }
  if (processId) {
    EXPECT_EQ(*processId, static_cast<std::int32_t>(GetCurrentProcessId()));
  }
  if (handle) {
    EXPECT_EQ(*handle, FromHwnd(top_));
  }
}

// The calls below are Windows's; Wine answers E_NOTIMPL, so there they skip.
TEST_F(UiaRealWindows, ReadOnlyEditSaysSoThroughItsValuePattern) {
  const HWND edit = CreateReadOnlyEdit();
  ASSERT_NE(edit, nullptr);
  const std::unique_ptr<platform::UiaElement> element = Element(edit);
  ASSERT_TRUE(element);
  const std::optional<bool> readOnly = element->ValueIsReadOnly();
  if (!readOnly.has_value()) GTEST_SKIP() << "the edit's Value pattern is not available";
  EXPECT_TRUE(*readOnly);
}

TEST_F(UiaRealWindows, WindowElementAnswersItsName) {
  const std::unique_ptr<platform::UiaElement> top = Element(top_);
  ASSERT_TRUE(top);
  const std::optional<std::u16string> name =
      top->CurrentStringProperty(platform::kUiaNamePropertyId);
  if (!name.has_value()) GTEST_SKIP() << "GetCurrentPropertyValue is not available";
  EXPECT_EQ(*name, u"Identity \u00e9 test");
}

TEST_F(UiaRealWindows, ButtonIsNoPasswordField) {
  const std::unique_ptr<platform::UiaElement> button = Element(button_);
  ASSERT_TRUE(button);
  const std::optional<bool> password = button->CurrentIsPassword();
  if (!password.has_value()) GTEST_SKIP() << "get_CurrentIsPassword is not available";
  EXPECT_FALSE(*password);
}

TEST_F(UiaRealWindows, CompareElementsTellsTheSameWindowFromAnother) {
  const std::unique_ptr<platform::UiaElement> top = Element(top_);
  const std::unique_ptr<platform::UiaElement> topAgain = Element(top_);
  const std::unique_ptr<platform::UiaElement> button = Element(button_);
  ASSERT_TRUE(top && topAgain && button);
  const std::optional<bool> same = client_->CompareElements(*top, *topAgain);
  if (!same.has_value()) GTEST_SKIP() << "CompareElements is not available";
  EXPECT_TRUE(*same);
  EXPECT_EQ(client_->CompareElements(*top, *button), false);
}

TEST_F(UiaRealWindows, ElementAtAPointContainsIt) {
  const platform::Rect bounds = WindowRectOf(button_);
  const std::int32_t x = (bounds.left + bounds.right) / 2;
  const std::int32_t y = (bounds.top + bounds.bottom) / 2;
  const std::unique_ptr<platform::UiaElement> atPoint = client_->ElementFromPoint(x, y);
  if (!atPoint) GTEST_SKIP() << "ElementFromPoint is not available";
  const std::optional<platform::Rect> rect = atPoint->CurrentBoundingRectangle();
  ASSERT_TRUE(rect.has_value());
  EXPECT_TRUE(rect->left <= x && x < rect->right && rect->top <= y && y < rect->bottom);
}

TEST_F(UiaRealWindows, GoneWindowsHaveNoElement) {
  platform::HResult result = S_OK;
  EXPECT_FALSE(client_->ElementFromHandle(platform::kNullWindow, result));
  EXPECT_TRUE(FAILED(result)) << std::hex << result;

  const HWND gone = CreateWindowExW(0, L"VelmoraIdentityTest", L"Gone", WS_OVERLAPPEDWINDOW, 0, 0,
                                    50, 50, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(gone, nullptr);
  ASSERT_TRUE(DestroyWindow(gone));
  result = S_OK;
  EXPECT_FALSE(client_->ElementFromHandle(FromHwnd(gone), result));
  EXPECT_TRUE(FAILED(result)) << std::hex << result;
}

TEST_F(UiaRealWindows, ControlViewWalksFromTheWindowToTheButtonAndBack) {
  platform::HResult result = S_OK;
  const std::unique_ptr<platform::UiaTreeWalker> walker = client_->ControlViewWalker(result);
  if (!walker) {
    // No walker comes with the failure that explains it.
    EXPECT_TRUE(FAILED(result)) << std::hex << result;
    GTEST_SKIP() << "get_ControlViewWalker is not available (Wine: E_NOTIMPL)";
  }
  EXPECT_TRUE(SUCCEEDED(result)) << std::hex << result;
  const std::unique_ptr<platform::UiaElement> top = Element(top_);
  ASSERT_TRUE(top);
  // The window's children may start with its title bar; the button is among the first few.
  const platform::Rect buttonRect = WindowRectOf(button_);
  std::unique_ptr<platform::UiaElement> child = walker->GetFirstChildElement(*top);
  for (int i = 0; child && i < 16; ++i) {
    if (child->CurrentBoundingRectangle() == buttonRect) break;
    child = walker->GetNextSiblingElement(*child);
  }
  ASSERT_TRUE(child);
  EXPECT_EQ(child->CurrentBoundingRectangle(), buttonRect);
  EXPECT_EQ(child->CurrentControlType(), platform::kUiaButtonControlTypeId);
  EXPECT_FALSE(walker->GetFirstChildElement(*child));
  const std::unique_ptr<platform::UiaElement> parent = walker->GetParentElement(*child);
  ASSERT_TRUE(parent);
  EXPECT_EQ(parent->CurrentBoundingRectangle(), WindowRectOf(top_));
  EXPECT_EQ(parent->CurrentControlType(), platform::kUiaWindowControlTypeId);
}

}  // namespace
}  // namespace velmora::computer_use
