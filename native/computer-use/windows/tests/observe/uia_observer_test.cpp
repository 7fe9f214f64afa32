#include "observe/uia_observer.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>
#include <tuple>

#include "support/sim_desktop_test.h"

namespace velmora::computer_use {
namespace {

using platform::HashStatus;
using platform::WindowHandle;
using platform::sim::SimMonitor;
using platform::sim::SimProcess;

constexpr platform::ProcessId kAppPid = 4242;

class IdentityTest : public testing::SimDesktopTest {
 protected:
  IdentityTest() {
    sim_.ProcessInfo().AddProcess(kAppPid, SimProcess{u"C:\\Tools\\app.exe", 0x2000, 1, true});
    window_ = sim_.Windows().AddWindow(kAppPid, u"Report - App");
    sim_.Displays().AddMonitor(SimMonitor{{0, 0, 1920, 1080}, u"\\\\.\\DISPLAY1", {96, 96}});
  }
  platform::Platform& Api() { return sim_.Get(); }
  std::string Code(WindowHandle window) {
    return testing::FailureCode([&] { DescribeWindow(Api(), window); });
  }

  WindowHandle window_;
};

// A child control describes its top-level window.
TEST_F(IdentityTest, DescriptionIsByteExact) {
  const WindowHandle child = sim_.Windows().AddWindow(kAppPid, u"OK", window_);
  for (const WindowHandle handle :
       {window_, child, sim_.Windows().AddWindow(kAppPid, u"", child)}) {
    const Observation observation = DescribeWindow(Api(), handle);
    EXPECT_EQ(observation.appIdentity,
              "exe_path_sha256:94501dc40f1f665f7c2c2ac9c36adc3911d976a29337594d63016ccc213bbf88");
    EXPECT_EQ(observation.windowIdentity,
              "hwnd:" + std::to_string(static_cast<std::uintptr_t>(window_)) + ":pid:4242");
    EXPECT_EQ(observation.appName, u"app.exe");
    EXPECT_EQ(observation.windowTitle, u"Report - App");
    EXPECT_EQ(observation.window, window_);
    EXPECT_EQ(observation.topologyGeneration, DisplayTopologyHash(Api().displays));
    EXPECT_TRUE(observation.observationId.empty());
    EXPECT_TRUE(observation.targets.empty());
  }
}

TEST_F(IdentityTest, IdentitiesAcrossWindowsAndProcesses) {
  const WindowHandle second = sim_.Windows().AddWindow(kAppPid, u"");
  sim_.ProcessInfo().AddProcess(kAppPid + 1, SimProcess{u"C:\\Tools\\app.exe", 0x2000, 1, true});
  const WindowHandle otherProcess = sim_.Windows().AddWindow(kAppPid + 1, u"x");

  const Observation first = DescribeWindow(Api(), window_);
  const Observation untitled = DescribeWindow(Api(), second);
  EXPECT_EQ(untitled.windowTitle, u"");
  EXPECT_EQ(untitled.appIdentity, first.appIdentity);
  EXPECT_NE(untitled.windowIdentity, first.windowIdentity);
  const Observation sibling = DescribeWindow(Api(), otherProcess);
  EXPECT_EQ(sibling.appIdentity, first.appIdentity);
  EXPECT_NE(sibling.windowIdentity.substr(sibling.windowIdentity.find(":pid:")),
            first.windowIdentity.substr(first.windowIdentity.find(":pid:")));
}

// The identity hashes the path's UTF-8 bytes as they are, in their letter case (zero bytes for an
// unpaired surrogate).
TEST_F(IdentityTest, AppNameAndIdentityOfUnusualPaths) {
  const std::tuple<std::u16string, std::u16string, const char*> cases[] = {
      {u"/opt/tools/run", u"run",
       "0b9736e70c46768c5b2b3eb4a4b03c50a3f7d11b2de424a026670d58f8034ebd"},
      {u"C:\\mixed/dir\\last.exe", u"last.exe",
       "c225bf8fd95af013606bd5f1f9f8201b053ecad57457ca85af7e7612907ec97a"},
      {u"standalone.exe", u"standalone.exe",
       "1efa784ff479bfe89a6eae6889129c1fbf168bdaae1cf36e7877dab0c74cbb50"},
      {u"C:\\ends\\", u"", "33344054c0146cad0ba554fa93a541cb176bd3b290b621193b676ebe317dee19"},
      {u"C:\\bad\\\xD800.exe", u"\xD800.exe",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {u"C:\\Program Files\\Caf\u00e9\\caf\u00e9.exe", u"caf\u00e9.exe",
       "21c385672dcc267d7c6f7006da795e3997d7b53138975ec75209be765295b0ea"},
  };
  platform::ProcessId pid = 5000;
  for (const auto& [path, name, hash] : cases) {
    sim_.ProcessInfo().AddProcess(++pid, SimProcess{path, 0x2000, 1, true});
    const Observation observation = DescribeWindow(Api(), sim_.Windows().AddWindow(pid, u"w"));
    EXPECT_EQ(observation.appName, name);
    EXPECT_EQ(observation.appIdentity, std::string("exe_path_sha256:") + hash) << pid;
  }
}

// Each window's access and the code its description fails with, by its process.
TEST_F(IdentityTest, AccessAndDescriptionCodesByProcess) {
  struct Case {
    const char* name;
    std::optional<SimProcess> process;  // none: the process vanished
    std::int32_t access;
    const char* code;
  };
  const Case cases[] = {
      {"lower integrity", SimProcess{u"C:\\low.exe", 0x1000}, kWindowAccessAllowed, ""},
      {"higher integrity", SimProcess{u"C:\\admin.exe", 0x3000}, kWindowAccessIntegrityTooHigh,
       "uipi_blocked"},
      {"unreadable integrity", SimProcess{u"C:\\protected.exe", std::nullopt},
       kWindowAccessUnavailable, "secure_desktop_unavailable"},
      {"another session", SimProcess{u"C:\\other.exe", 0x2000, 2}, kWindowAccessUnavailable,
       "secure_desktop_unavailable"},
      {"cannot be opened", SimProcess{u"C:\\closed.exe", 0x2000, 1, false},
       kWindowAccessUnavailable, "secure_desktop_unavailable"},
      {"no image path", SimProcess{u""}, kWindowAccessAllowed, "target_unavailable"},
      {"vanished", std::nullopt, kWindowAccessUnavailable, "secure_desktop_unavailable"},
  };
  platform::ProcessId pid = 6000;
  for (const Case& each : cases) {
    if (each.process) {
      sim_.ProcessInfo().AddProcess(++pid, *each.process);
    } else {
      sim_.Sessions().SetProcessSession(++pid, 1);
    }
    const WindowHandle window = sim_.Windows().AddWindow(pid, u"");
    EXPECT_EQ(CheckWindowAccess(Api(), window), each.access) << each.name;
    EXPECT_EQ(Code(window), each.code) << each.name;
  }
  EXPECT_EQ(CheckWindowAccess(Api(), window_), kWindowAccessAllowed);
  EXPECT_EQ(CheckWindowAccess(Api(), platform::kNullWindow), kWindowAccessUnavailable);
  EXPECT_EQ(CheckWindowAccess(Api(), static_cast<WindowHandle>(0x7777)), kWindowAccessUnavailable);
  // At high integrity itself, the helper may describe elevated windows.
  SimProcess self{u"C:\\helper.exe", 0x3000};
  sim_.ProcessInfo().AddProcess(Api().processes.CurrentProcessId(), self);
  EXPECT_EQ(Code(sim_.Windows().AddWindow(6002, u"")), "");
}

TEST_F(IdentityTest, AnUnsafeSessionRefusesEveryWindow) {
  struct Case {
    const char* name;
    std::function<void(platform::sim::SimSessions&)> change;
    std::int32_t access;
  };
  const Case cases[] = {
      {"locked", [](auto& s) { s.SetSessionFlags(0); }, kWindowAccessSessionLocked},
      {"disconnected", [](auto& s) { s.SetSessionState(1); }, kWindowAccessSessionLocked},
      {"screen saver", [](auto& s) { s.SwitchInputDesktop(u"Screen-saver"); },
       kWindowAccessNotDefaultDesktop},
      {"query fails", [](auto& s) { s.SetSessionQueryFails(true); }, kWindowAccessSessionLocked},
  };
  for (const Case& each : cases) {
    each.change(sim_.Sessions());
    EXPECT_EQ(CheckWindowAccess(Api(), window_), each.access) << each.name;
    EXPECT_EQ(Code(window_), "secure_desktop_unavailable") << each.name;
    EXPECT_EQ(Code(platform::kNullWindow), "secure_desktop_unavailable") << each.name;
    sim_.Sessions().SetSessionFlags(1);
    sim_.Sessions().SetSessionState(0);
    sim_.Sessions().SwitchInputDesktop(u"Default");
    sim_.Sessions().SetSessionQueryFails(false);
  }
  EXPECT_EQ(Code(window_), "");
}

TEST_F(IdentityTest, ForegroundShortcutAndHashFailures) {
  sim_.Windows().SetForegroundWindow(window_);
  EXPECT_EQ(CheckForegroundWindowAccess(Api()), kWindowAccessAllowed);
  sim_.Windows().ClearForeground();
  EXPECT_EQ(CheckForegroundWindowAccess(Api()), kWindowAccessUnavailable);
  sim_.Crypto().SetFailure(HashStatus::kUnavailable);
  EXPECT_EQ(Code(window_), "sha256_unavailable");
  sim_.Crypto().SetFailure(HashStatus::kFailed);
  EXPECT_EQ(Code(window_), "sha256_failed");
}

TEST(Sha256, KnownDigestsAcrossBlockBoundaries) {
  platform::sim::SimCrypto crypto;
  const std::pair<std::string, const char*> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(55, 'x'), "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072"},
      {std::string(56, 'x'), "04c26261370ee7541549d16dee320c723e3fd14671e66a099afe0a377c16888e"},
      {std::string(64, 'x'), "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c"},
      {std::string(1000, 'a'), "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3"},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(Sha256Hex(crypto, input), expected) << input.size();
  }
}

TEST(Utf8Strict, UnpairedSurrogatesGiveNothing) {
  EXPECT_EQ(ToUtf8Strict(u""), "");
  EXPECT_EQ(ToUtf8Strict(u"a\xD800"), "");
  EXPECT_EQ(ToUtf8Strict(u"\xDC00z"), "");
  EXPECT_EQ(ToUtf8Strict(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(ToUtf8Strict(u"caf\u00e9"), "caf\xC3\xA9");
}

TEST_F(IdentityTest, TopologyHashIsExactAndFollowsTheDisplays) {
  sim_.Displays().AddMonitor(SimMonitor{{-1280, 0, 0, 1024}, u"\\\\.\\DISPLAY2", {144, 144}});
  EXPECT_EQ(DisplayTopologyHash(Api().displays), 4135796124u);

  // Moving, rescaling or renaming a monitor: a new hash each time.
  std::set<std::uint32_t> hashes{4135796124u};
  for (const SimMonitor& changed :
       {SimMonitor{{-1280, 100, 0, 1124}, u"\\\\.\\DISPLAY2", {144, 144}},
        SimMonitor{{-1280, 100, 0, 1124}, u"\\\\.\\DISPLAY2", {120, 120}},
        SimMonitor{{-1280, 100, 0, 1124}, u"\\\\.\\DISPLAY3", {120, 120}}}) {
    sim_.Displays().UpdateMonitor(1, changed);
    EXPECT_TRUE(hashes.insert(DisplayTopologyHash(Api().displays)).second);
  }

  // Failed queries count as an empty name and 96 DPI.
  sim_.Displays().UpdateMonitor(
      1, SimMonitor{{-1280, 0, 0, 1024}, u"\\\\.\\DISPLAY2", {144, 144}, true, true});
  EXPECT_EQ(DisplayTopologyHash(Api().displays), 149889714u);

  sim_.Displays().RemoveMonitor(1);
  sim_.Displays().RemoveMonitor(0);
  EXPECT_EQ(DisplayTopologyHash(Api().displays), 2166136261u);
}

}  // namespace
}  // namespace velmora::computer_use
