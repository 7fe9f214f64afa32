// The win32 backend's calls, where Wine implements them; the session query, which Wine lacks,
// is replaced by a simulated source where a test needs a good session.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <regex>
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
#include "win32/win32_programs.h"

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
std::unique_ptr<Child> WaitingChild() {
  auto child = std::make_unique<Child>(L"cmd.exe /c pause", /*pipes=*/true);
  EXPECT_TRUE(child->Started());
  return child;
}

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
  const std::unique_ptr<Child> child = WaitingChild();
  EXPECT_EQ(ParentProcessId(processes_, child->ProcessId()), self);
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
  EXPECT_EQ(sessions_.ProcessIdToSessionId(child->ProcessId()), session);
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
  const std::unique_ptr<Child> child = WaitingChild();
  ParentWatchdog watchdog(processes_);
  CallCounter exits;
  ASSERT_TRUE(watchdog.Start(
      child->ProcessId(), [] {}, std::ref(exits)));
  const auto ended = std::chrono::steady_clock::now();
  child->Terminate();
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
 public:
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

// Named monitors inside the virtual screen, the nearest of any rectangle among them, and a
// topology hash that is stable while nothing changes.
TEST_F(Win32Fixture, DisplaysEnumerateFindTheNearestAndFitTheVirtualScreen) {
  const std::vector<platform::MonitorDescription> monitors = displays_.EnumerateMonitors();
  ASSERT_FALSE(monitors.empty());
  const platform::VirtualScreen screen = displays_.VirtualScreenMetrics();
  EXPECT_GT(screen.width, 0);
  EXPECT_GT(screen.height, 0);
  for (const platform::MonitorDescription& monitor : monitors) {
    EXPECT_LT(monitor.rect.left, monitor.rect.right);
    EXPECT_LT(monitor.rect.top, monitor.rect.bottom);
    EXPECT_GE(monitor.rect.left, screen.x);
    EXPECT_GE(monitor.rect.top, screen.y);
    EXPECT_LE(monitor.rect.right, screen.x + screen.width);
    EXPECT_LE(monitor.rect.bottom, screen.y + screen.height);
    ASSERT_TRUE(monitor.deviceName.has_value());
    EXPECT_FALSE(monitor.deviceName->empty());
  }
  EXPECT_EQ(DisplayTopologyHash(displays_), DisplayTopologyHash(displays_));
  EXPECT_NE(DisplayTopologyHash(displays_), 2166136261u);

  const platform::Rect inside{monitors[0].rect.left + 1, monitors[0].rect.top + 1,
                              monitors[0].rect.left + 2, monitors[0].rect.top + 2};
  const std::optional<platform::MonitorDescription> own = displays_.MonitorNearestRect(inside);
  ASSERT_TRUE(own.has_value());
  EXPECT_EQ(own->rect, monitors[0].rect);
  EXPECT_EQ(own->deviceName, monitors[0].deviceName);
  const std::optional<platform::MonitorDescription> offScreen =
      displays_.MonitorNearestRect(platform::Rect{-100000, -100000, -99990, -99990});
  ASSERT_TRUE(offScreen.has_value());
  EXPECT_TRUE(std::any_of(
      monitors.begin(), monitors.end(),
      [&](const platform::MonitorDescription& m) { return m.rect == offScreen->rect; }));
  ASSERT_TRUE(offScreen->deviceName.has_value());
  EXPECT_FALSE(offScreen->deviceName->empty());
  ASSERT_TRUE(offScreen->dpi.has_value());
  EXPECT_GT(offScreen->dpi->x, 0u);
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
  const std::string text = ToUtf8(system.GuidToString(*first));
  EXPECT_TRUE(
      std::regex_match(text, std::regex(R"(\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\})")))
      << text;
  EXPECT_NE(text, ToUtf8(system.GuidToString(*second)));
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

// The real windows, shown, their elements and a UI Automation client of this process.
class UiaRealWindows : public RealWindows {
 public:
  void SetUp() override {
    RealWindows::SetUp();
    ASSERT_TRUE(apartment_.Entered());
    runtime_.SetPerMonitorDpiAwareV2();
    ShowWindow(top_, SW_SHOWNOACTIVATE);
    platform::HResult result = 1;
    client_ = automation_.CreateClient(result);
    ASSERT_TRUE(client_) << std::hex << result;
    EXPECT_EQ(result, S_OK);
    top = Element(top_);
    button = Element(button_);
    ASSERT_TRUE(top && button);
  }
  void TearDown() override {
    top.reset();
    button.reset();
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
  std::unique_ptr<platform::UiaElement> top;
  std::unique_ptr<platform::UiaElement> button;
};

TEST_F(UiaRealWindows, WindowElementsAnswerTheirTypeAndBounds) {
  EXPECT_EQ(top->CurrentControlType(), platform::kUiaWindowControlTypeId);
  EXPECT_EQ(top->CurrentBoundingRectangle(), WindowRectOf(top_));
  EXPECT_FALSE(top->HasPattern(platform::kUiaInvokePatternId));
  EXPECT_FALSE(top->ValueIsReadOnly().has_value());  // a window has no Value pattern
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

struct UiaCall {
  const char* name;
  std::function<void(UiaRealWindows&)> check;
};

const UiaCall kUiaCalls[] = {
    {"WindowName",
     [](UiaRealWindows& f) {
       ExpectOrSkip(f.top->CurrentStringProperty(platform::kUiaNamePropertyId),
                    std::u16string(u"Identity \u00e9 test"), "GetCurrentPropertyValue");
     }},
    {"ButtonIsNoPasswordField",
     [](UiaRealWindows& f) {
       ExpectOrSkip(f.button->CurrentIsPassword(), false, "get_CurrentIsPassword");
     }},
    {"ReadOnlyEditSaysSoThroughItsValuePattern",
     [](UiaRealWindows& f) {
       const std::unique_ptr<platform::UiaElement> edit = f.Element(f.CreateReadOnlyEdit());
       ASSERT_TRUE(edit);
       ExpectOrSkip(edit->ValueIsReadOnly(), true, "the edit's Value pattern");
     }},
    {"CompareTheSameWindow",
     [](UiaRealWindows& f) {
       const std::unique_ptr<platform::UiaElement> again = f.Element(f.top_);
       ASSERT_TRUE(again);
       ExpectOrSkip(f.client_->CompareElements(*f.top, *again), true, "CompareElements");
     }},
    {"CompareAnotherWindow",
     [](UiaRealWindows& f) {
       ExpectOrSkip(f.client_->CompareElements(*f.top, *f.button), false, "CompareElements");
     }},
    {"ElementAtAPointContainsIt",
     [](UiaRealWindows& f) {
       const POINT at = Center(f.button_);
       const std::unique_ptr<platform::UiaElement> element =
           f.client_->ElementFromPoint(at.x, at.y);
       if (!element) GTEST_SKIP() << "ElementFromPoint is not available";
       const std::optional<platform::Rect> r = element->CurrentBoundingRectangle();
       ASSERT_TRUE(r.has_value());
       EXPECT_TRUE(r->left <= at.x && at.x < r->right && r->top <= at.y && at.y < r->bottom);
     }},
};

class UiaRealWindowCalls : public UiaRealWindows, public ::testing::WithParamInterface<UiaCall> {};

TEST_P(UiaRealWindowCalls, AnswerOrAreUnavailable) {
  GetParam().check(*this);
}

INSTANTIATE_TEST_SUITE_P(Calls, UiaRealWindowCalls, ::testing::ValuesIn(kUiaCalls),
                         [](const auto& info) { return std::string(info.param.name); });

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
