// activate_app from this process against real windows: the fixture program's kinds of windows,
// and Wine's notepad started normally and minimized.
#include <gtest/gtest.h>

#include <cwchar>
#include <optional>
#include <string>

#include "act/activation.h"
#include "observe/window_identity.h"
#include "win32/win32_fixture.h"
#include "win32/win32_programs.h"

namespace velmora::computer_use {
namespace {

using platform::win32::FromHwnd;

bool Proceed() {
  return true;
}

class Activation : public FixtureProgram {
 protected:
  std::string AppIdentityOf(DWORD processId) {
    const std::optional<std::u16string> path = processInfo_.QueryImagePath(processId);
    EXPECT_TRUE(path.has_value()) << processId;
    return AppIdentityForPath(crypto_, path.value_or(u""));
  }
  // In front and no longer minimized: the restore runs later, on the window's own thread.
  static bool ForegroundAndRestored(HWND window) {
    return testing::WaitUntil([&] { return GetForegroundWindow() == window && !IsIconic(window); });
  }

  // The access gate asks for the session, which Wine cannot answer.
  platform::Platform platform_ = SimulatedSessionPlatform();
};

TEST_F(Activation, OnlyVisibleUnownedWindowsOfTheProgramAreCandidates) {
  const std::string app = AppIdentityOf(fixture_->ProcessId());
  const HWND minimized = FindWindowW(L"VelmoraFixture", L"Fixture Minimized");
  ASSERT_TRUE(minimized != nullptr && IsIconic(minimized));
  // The program puts its top-level window in front.
  ASSERT_TRUE(testing::WaitUntil([&] { return GetForegroundWindow() == top_; }));
  ActivationOutcome outcome;
  // The top-level window and the minimized one.
  EXPECT_EQ(ActivateApp(platform_, app, "", outcome, Proceed), ErrorCode::kTargetAmbiguous);

  struct Case {
    const wchar_t* title;
    std::optional<ErrorCode> code;
  };
  // In this order, so that each activation has to switch the foreground.
  for (const Case& c :
       {Case{L"Fixture Dialog", ErrorCode::kAppNotFound},
        Case{L"Fixture Hidden", ErrorCode::kAppNotFound}, Case{L"Fixture Minimized", std::nullopt},
        Case{L"Velmora Fixture", std::nullopt}}) {
    SCOPED_TRACE(std::string(c.title, c.title + std::wcslen(c.title)));
    const HWND window = FindWindowW(L"VelmoraFixture", c.title);
    ASSERT_NE(window, nullptr);
    outcome = ActivationOutcome{};
    const std::string windowIdentity = WindowIdentityOf(FromHwnd(window), fixture_->ProcessId());
    EXPECT_EQ(ActivateApp(platform_, app, windowIdentity, outcome, Proceed), c.code);
    // The restore of a minimized window is asked of its own thread before the switch, and its
    // thread may already have brought the window in front by the time the switch looks.
    if (window != minimized || outcome.stage != "already_foreground") {
      EXPECT_EQ(outcome.stage, c.code ? "blocked" : "activated");
      EXPECT_EQ(outcome.apiAccepted, !c.code);
    }
    if (!c.code) {
      EXPECT_TRUE(ForegroundAndRestored(window));
    }
  }

  // With the minimized window hidden, the program's one window needs no identity of its own.
  ShowWindow(minimized, SW_HIDE);
  ASSERT_TRUE(testing::WaitUntil([&] { return !IsWindowVisible(minimized); }));
  outcome = ActivationOutcome{};
  EXPECT_EQ(ActivateApp(platform_, app, "", outcome, Proceed), std::nullopt);
  EXPECT_EQ(outcome.stage, "already_foreground");
}

struct NotepadStart {
  const char* name;
  WORD show;
};

class ActivatingNotepad : public Activation, public ::testing::WithParamInterface<NotepadStart> {};

TEST_P(ActivatingNotepad, ComesToTheForegroundRestored) {
  const bool minimized = GetParam().show == SW_SHOWMINIMIZED;
  const Child notepad(L"notepad.exe", /*pipes=*/false, GetParam().show);
  ASSERT_TRUE(notepad.Started());
  const HWND window = WaitForVisibleWindow(notepad.ProcessId(), L"Notepad");
  ASSERT_NE(window, nullptr);
  // Started as asked, and in front: both show commands activate the window, which Wine does some
  // time after the window shows, so the switch below waits for that.
  ASSERT_TRUE(testing::WaitUntil(
      [&] { return GetForegroundWindow() == window && (IsIconic(window) != FALSE) == minimized; }));
  // The fixture's window in front, so that the activation has to switch. Wine may activate a
  // window started minimized once more after that: the activation then rightly finds it in
  // front already, and the switch is made again.
  ActivationOutcome outcome;
  for (int attempt = 0; attempt < 3 && outcome.stage != "activated"; ++attempt) {
    SetForegroundWindow(top_);
    ASSERT_TRUE(testing::WaitUntil([&] { return GetForegroundWindow() == top_; }));
    outcome = ActivationOutcome{};
    EXPECT_EQ(ActivateApp(platform_, AppIdentityOf(notepad.ProcessId()), "", outcome, Proceed),
              std::nullopt);
    ASSERT_TRUE(outcome.stage == "activated" || outcome.stage == "already_foreground")
        << outcome.stage;
  }
  EXPECT_EQ(outcome.stage, "activated");
  EXPECT_TRUE(ForegroundAndRestored(window));
}

INSTANTIATE_TEST_SUITE_P(Starts, ActivatingNotepad,
                         ::testing::Values(NotepadStart{"Normal", SW_SHOWNORMAL},
                                           NotepadStart{"Minimized", SW_SHOWMINIMIZED}),
                         [](const ::testing::TestParamInfo<NotepadStart>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace velmora::computer_use
