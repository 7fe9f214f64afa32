// The seam calls that actions use, against real windows: injected input seen by the hooks and
// answered by the fixture program's edit, classic controls through their window calls and sent
// messages, a click normalised over the virtual screen, and the UI Automation element calls where
// Wine implements them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "act/input_controller.h"
#include "safety/interaction_monitor.h"
#include "win32/win32_fixture.h"
#include "win32/win32_fixture_ids.h"
#include "win32/win32_programs.h"

namespace velmora::computer_use {
namespace {

using platform::InputEvent;
using platform::win32::FromHwnd;
using std::chrono::milliseconds;

using namespace fixture;  // NOLINT(google-build-using-namespace)
// The flags the fixture's button test sends with: SMTO_BLOCK | SMTO_ABORTIFHUNG |
// SMTO_ERRORONEXIT.
constexpr std::uint32_t kSendFlags = 0x0023;

InputEvent Key(std::uint16_t virtualKey, bool up) {
  return InputEvent{.kind = InputEvent::Kind::kKeyboard,
                    .virtualKey = virtualKey,
                    .flags = up ? platform::kKeyEventKeyUp : 0u,
                    .extraInfo = kOwnInputMarker};
}

// Each character as a Unicode key pressed and released.
std::vector<InputEvent> UnicodeTyping(std::u16string_view text) {
  std::vector<InputEvent> events;
  for (const char16_t c : text) {
    for (const std::uint32_t flags :
         {platform::kKeyEventUnicode, platform::kKeyEventUnicode | platform::kKeyEventKeyUp}) {
      events.push_back(InputEvent{.kind = InputEvent::Kind::kKeyboard,
                                  .scanCode = c,
                                  .flags = flags,
                                  .extraInfo = kOwnInputMarker});
    }
  }
  return events;
}

// Shift+Home selects back to the start of the line, Delete removes it: the classic edit's own.
std::vector<InputEvent> SelectToStartAndDelete() {
  return {Key(VK_SHIFT, false), Key(VK_HOME, false),   Key(VK_HOME, true),
          Key(VK_SHIFT, true),  Key(VK_DELETE, false), Key(VK_DELETE, true)};
}

// Events the low-level hooks saw with the marker, recorded by plain callbacks.
std::mutex hookMutex;
std::vector<platform::KeyboardHookEvent> markedKeys;
std::vector<platform::MouseHookEvent> markedMice;

void RecordMarkedKey(const platform::KeyboardHookEvent& event) {
  if (event.extraInfo != kOwnInputMarker) return;
  const std::lock_guard lock(hookMutex);
  markedKeys.push_back(event);
}
void RecordMarkedMouse(const platform::MouseHookEvent& event) {
  if (event.extraInfo != kOwnInputMarker) return;
  const std::lock_guard lock(hookMutex);
  markedMice.push_back(event);
}

using KeyMessages = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// Low-level hooks through the seam on a thread of their own, recording the marked events.
class MarkedHooks {
 public:
  explicit MarkedHooks(platform::MessageLoopApi& loops) : loops_(loops) {
    {
      const std::lock_guard lock(hookMutex);
      markedKeys.clear();
      markedMice.clear();
    }
    thread_ = std::thread([this] { Run(); });
  }
  MarkedHooks(const MarkedHooks&) = delete;
  MarkedHooks& operator=(const MarkedHooks&) = delete;
  ~MarkedHooks() {
    loops_.PostThreadMessage(threadId_, WM_QUIT, 0, 0);
    thread_.join();
  }
  bool Ready() {
    return testing::WaitUntil([&] { return attempted_.load(); }) && installed_;
  }
  // Once that many key and mouse events came: each key's message and key, the left or right
  // key of a pair named as the pair.
  static std::optional<KeyMessages> WaitFor(std::size_t keys, std::size_t mice = 0) {
    std::optional<KeyMessages> messages;
    testing::WaitUntil([&] {
      const std::lock_guard lock(hookMutex);
      if (markedKeys.size() < keys || markedMice.size() < mice) return false;
      messages.emplace();
      for (const platform::KeyboardHookEvent& event : markedKeys) {
        std::uint32_t key = event.virtualKey;
        if (key == VK_LSHIFT || key == VK_RSHIFT) key = VK_SHIFT;
        if (key == VK_LCONTROL || key == VK_RCONTROL) key = VK_CONTROL;
        messages->emplace_back(event.message, key);
      }
      return true;
    });
    return messages;
  }

 private:
  void Run() {
    loops_.EnsureMessageQueue();
    threadId_ = loops_.CurrentThreadId();
    const platform::InputHookId keyboard = loops_.SetKeyboardHook(&RecordMarkedKey);
    const platform::InputHookId mouse = loops_.SetMouseHook(&RecordMarkedMouse);
    installed_ = keyboard != 0 && mouse != 0;
    attempted_ = true;
    platform::WindowMessage message;
    while (installed_ && loops_.GetMessage(message) > 0) loops_.DispatchMessage(message);
    loops_.UnhookInput(keyboard);
    loops_.UnhookInput(mouse);
  }

  platform::MessageLoopApi& loops_;
  std::atomic<std::uint32_t> threadId_{0};
  std::atomic<bool> installed_{false};
  std::atomic<bool> attempted_{false};
  std::thread thread_;
};

TEST_F(Win32Fixture, HooksSeeInjectedEventsWithTheMarkerAndTheInjectedFlag) {
  MarkedHooks hooks(loops_);
  ASSERT_TRUE(hooks.Ready());
  // A key, a Unicode character and a mouse move there and back.
  std::vector<InputEvent> events = {Key('Q', false), Key('Q', true)};
  for (const InputEvent& typed : UnicodeTyping(u"\u00e9")) events.push_back(typed);
  for (const std::int32_t dx : {1, -1}) {
    events.push_back(InputEvent{.kind = InputEvent::Kind::kMouse,
                                .dx = dx,
                                .flags = platform::kMouseEventMove,
                                .extraInfo = kOwnInputMarker});
  }
  EXPECT_EQ(injection_.SendInput(events), 6u);
  EXPECT_EQ(MarkedHooks::WaitFor(4, 2), (KeyMessages{{WM_KEYDOWN, 'Q'},
                                                     {WM_KEYUP, 'Q'},
                                                     {WM_KEYDOWN, platform::kVkPacket},
                                                     {WM_KEYUP, platform::kVkPacket}}));
  const std::lock_guard lock(hookMutex);
  for (const platform::KeyboardHookEvent& event : markedKeys) {
    EXPECT_NE(event.flags & LLKHF_INJECTED, 0u);
  }
  ASSERT_EQ(markedMice.size(), 2u);
  for (const platform::MouseHookEvent& event : markedMice) {
    EXPECT_EQ(event.message, static_cast<std::uint32_t>(WM_MOUSEMOVE));
    EXPECT_NE(event.flags & LLMHF_INJECTED, 0u);
  }
}

// The input controller on the real backend: a chord stopped after its modifiers went down
// leaves them held, and the release sends their key-up events, marked, in one batch.
TEST_F(Win32Fixture, InterruptedChordIsReleased) {
  MarkedHooks hooks(loops_);
  ASSERT_TRUE(hooks.Ready());
  InputController input(injection_, displays_, windows_, loops_);
  int asked = 0;
  EXPECT_FALSE(input.Act(Json{{"kind", "key"}, {"key", "B"}, {"modifiers", {"shift", "control"}}},
                         nullptr, std::nullopt, true, [&] { return ++asked <= 3; }));
  EXPECT_EQ(input.HeldKeys(), (std::set<std::uint32_t>{VK_SHIFT, VK_CONTROL}));
  input.ReleaseHeldInput();
  EXPECT_TRUE(input.HeldKeys().empty());
  EXPECT_EQ(MarkedHooks::WaitFor(4), (KeyMessages{{WM_KEYDOWN, VK_SHIFT},
                                                  {WM_KEYDOWN, VK_CONTROL},
                                                  {WM_KEYUP, VK_SHIFT},
                                                  {WM_KEYUP, VK_CONTROL}}));
}

TEST_F(Win32Fixture, KeyScanOfTheCurrentLayout) {
  // The layout under Wine here is US English; shift is bit 0 of the high byte.
  struct Case {
    char16_t character;
    std::int16_t scan;
  };
  for (const Case& c : {Case{u'a', 0x41}, Case{u'A', 0x141}, Case{u'1', 0x31}, Case{u'!', 0x131},
                        Case{u'\u4e00', -1}}) {
    SCOPED_TRACE(static_cast<int>(c.character));
    EXPECT_EQ(injection_.VkKeyScan(c.character), c.scan);
  }
}

// Brings `window` to the foreground: by itself, through SetForegroundWindow, or by the user.
bool BringToForeground(HWND window) {
  const auto inFront = [&] { return GetForegroundWindow() == window; };
  if (testing::WaitUntil(inFront, milliseconds(1000))) return true;
  SetForegroundWindow(window);
  if (testing::WaitUntil(inFront, milliseconds(2000))) return true;
  wchar_t title[256]{};
  GetWindowTextW(window, title, 256);
  const std::string name(title, title + std::wcslen(title));  // ASCII titles only
  Xdotool({"search", "--onlyvisible", "--name", "^" + name + "$", "windowactivate", "--sync"});
  return testing::WaitUntil(inFront, milliseconds(5000));
}

// Typed as the helper types, into the fixture's edit of another process, then erased by a chord.
TEST_F(FixtureProgram, UnicodeTypingThenAChordErasesIt) {
  const HWND edit = GetDlgItem(top_, kEditId);
  ASSERT_NE(edit, nullptr);
  const auto text = [&] {
    char16_t buffer[512]{};
    const std::optional<std::intptr_t> copied = windows_.SendMessageTimeout(
        FromHwnd(edit), WM_GETTEXT, 512, reinterpret_cast<std::intptr_t>(buffer), kSendFlags, 1000);
    return copied ? std::u16string(buffer, static_cast<std::size_t>(*copied)) : u"<no answer>";
  };
  ASSERT_TRUE(BringToForeground(top_));
  ASSERT_TRUE(windows_.SendMessageTimeout(FromHwnd(edit), WM_SETTEXT, 0,
                                          reinterpret_cast<std::intptr_t>(u""), kSendFlags, 1000));
  const std::u16string typed = u"Velmora \u00e9t\u00e9 \u2713";
  const std::vector<InputEvent> typing = UnicodeTyping(typed);
  ASSERT_EQ(injection_.SendInput(typing), typing.size());
  testing::WaitUntil([&] { return text() == typed; });
  EXPECT_EQ(text(), typed);

  const std::vector<InputEvent> chord = SelectToStartAndDelete();
  ASSERT_EQ(injection_.SendInput(chord), chord.size());
  testing::WaitUntil([&] { return text().empty(); });
  EXPECT_EQ(text(), u"");
}

TEST_F(FixtureProgram, ClassicControlsAnswerTheirWindowCallsAndASentCommand) {
  struct Case {
    int controlId;
    std::intptr_t buttonType;  // the low 4 bits of the style
  };
  for (const Case& c : {Case{kPushButtonId, BS_PUSHBUTTON}, Case{kCheckBoxId, BS_AUTOCHECKBOX}}) {
    SCOPED_TRACE(c.controlId);
    const platform::WindowHandle control = FromHwnd(GetDlgItem(top_, c.controlId));
    ASSERT_NE(control, platform::kNullWindow);
    EXPECT_EQ(windows_.ClassName(control), u"Button");
    const std::intptr_t style = windows_.WindowStyle(control);
    EXPECT_NE(style & WS_CHILD, 0);
    EXPECT_EQ(style & 0xF, c.buttonType);
    EXPECT_EQ(windows_.ParentWindow(control), FromHwnd(top_));
    EXPECT_TRUE(windows_.IsWindowEnabled(control));
    const std::uint32_t thread = windows_.WindowThreadId(control);
    EXPECT_NE(thread, 0u);
    EXPECT_NE(thread, GetCurrentThreadId());
    EXPECT_EQ(thread, windows_.WindowThreadId(FromHwnd(top_)));
    EXPECT_EQ(windows_.DialogControlId(control), c.controlId);
  }
  EXPECT_EQ(windows_.ClassName(FromHwnd(top_)), u"VelmoraFixture");
  EXPECT_EQ(windows_.ParentWindow(FromHwnd(top_)), platform::kNullWindow);
  const HWND dialog = FindWindowW(L"VelmoraFixture", L"Fixture Dialog");
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(windows_.RootOwnerWindow(FromHwnd(dialog)), FromHwnd(top_));
  EXPECT_EQ(windows_.RootOwnerWindow(FromHwnd(top_)), FromHwnd(top_));

  const std::optional<std::intptr_t> answer =
      windows_.SendMessageTimeout(FromHwnd(top_), WM_COMMAND, MAKEWPARAM(kPushButtonId, BN_CLICKED),
                                  reinterpret_cast<std::intptr_t>(button_), kSendFlags, 500);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer, 0);  // the fixture's answer to a command it handled
  EXPECT_EQ(fixture_->NextLine(), "clicked 1001");

  ASSERT_TRUE(EnableWindow(button_, FALSE) == 0);  // it was enabled
  EXPECT_FALSE(windows_.IsWindowEnabled(FromHwnd(button_)));

  // A window that is gone answers none or zero.
  PostMessageW(top_, WM_CLOSE, 0, 0);
  ASSERT_TRUE(testing::WaitUntil([&] { return !IsWindow(top_); }));
  EXPECT_FALSE(windows_.ClassName(FromHwnd(top_)).has_value());
  EXPECT_EQ(windows_.WindowThreadId(FromHwnd(top_)), 0u);
  EXPECT_FALSE(
      windows_.SendMessageTimeout(FromHwnd(top_), WM_NULL, 0, 0, kSendFlags, 500).has_value());
}

// The input controller's click, normalised over the virtual screen, on the real backend.
TEST_F(FixtureProgram, AbsoluteClickOverTheVirtualScreenClicksThePushButton) {
  InputController input(injection_, displays_, windows_, loops_);
  const POINT target = Center(button_);
  // The controller sends the move and the press in separate calls, and Wine echoes each move of
  // the X pointer back through the process whose window is under it. An echo of where the pointer
  // was before can land between the two calls and move the press there, so the click is tried
  // again; the move's own echo is the target, so a second try meets no stale one.
  bool clicked = false;
  for (int attempt = 0; attempt < 3 && !clicked; ++attempt) {
    ASSERT_TRUE(input.Act(Json{{"kind", "click"}}, nullptr, PhysicalPoint{target.x, target.y}, true,
                          [] { return true; }));
    clicked = fixture_->NextLine(std::chrono::seconds(2)) == "clicked 1001";
  }
  EXPECT_TRUE(clicked);
  POINT cursor{};
  ASSERT_TRUE(GetCursorPos(&cursor));
  EXPECT_LE(std::abs(cursor.x - target.x), 2);
  EXPECT_LE(std::abs(cursor.y - target.y), 2);
}

// The fixture program's windows through a UI Automation client of this process.
class UiaFixtureProgram : public FixtureProgram {
 protected:
  void SetUp() override {
    FixtureProgram::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(apartment_.Entered());
    platform::HResult result = E_FAIL;
    client_ = automation_.CreateClient(result);
    ASSERT_TRUE(client_) << std::hex << result;
  }
  void TearDown() override { client_.reset(); }

  std::unique_ptr<platform::UiaElement> Element(HWND window) { return ElementOf(*client_, window); }

  ComApartment apartment_;
  std::unique_ptr<platform::UiaClient> client_;
};

TEST_F(UiaFixtureProgram, WindowElementsAnswerTheirProcessAndOwnHandles) {
  for (const HWND window : {top_, button_}) {
    const std::unique_ptr<platform::UiaElement> element = Element(window);
    ASSERT_TRUE(element);
    ExpectOrSkip(element->CurrentProcessId(), static_cast<std::int32_t>(fixture_->ProcessId()),
                 "get_CurrentProcessId");
    if (IsSkipped()) return;
    ExpectOrSkip(element->CurrentNativeWindowHandle(), FromHwnd(window),
                 "get_CurrentNativeWindowHandle");
    if (IsSkipped()) return;
  }
}

TEST_F(UiaFixtureProgram, AutoSetFocusCanBeTurnedOffAndBack) {
  const std::optional<bool> initial = client_->AutoSetFocus();
  if (!initial) GTEST_SKIP() << "IUIAutomation2::get_AutoSetFocus is not available";
  ASSERT_TRUE(client_->SetAutoSetFocus(!*initial));
  EXPECT_EQ(client_->AutoSetFocus(), !*initial);
  ASSERT_TRUE(client_->SetAutoSetFocus(*initial));
  EXPECT_EQ(client_->AutoSetFocus(), *initial);
}

// One element call on one of the fixture's controls, and what it did to the control.
struct ElementAction {
  const char* name;
  int controlId;
  std::function<bool(platform::UiaElement&)> act;
  std::function<bool(HWND control, Child& fixture)> done;
};

const ElementAction kElementActions[] = {
    {"Invoke", kPushButtonId, [](platform::UiaElement& e) { return e.Invoke(); },
     [](HWND, Child& fixture) { return fixture.NextLine() == "clicked 1001"; }},
    {"Toggle", kCheckBoxId, [](platform::UiaElement& e) { return e.Toggle(); },
     [](HWND control, Child&) { return Send(control, BM_GETCHECK) == BST_CHECKED; }},
    {"Select", kRadioButtonId, [](platform::UiaElement& e) { return e.Select(); },
     [](HWND control, Child&) { return Send(control, BM_GETCHECK) == BST_CHECKED; }},
    {"SetValue", kEditId, [](platform::UiaElement& e) { return e.SetValue(u"set \u00e9"); },
     [](HWND control, Child&) { return WindowText(control) == L"set \u00e9"; }},
    {"Expand", kComboBoxId, [](platform::UiaElement& e) { return e.Expand(); },
     [](HWND control, Child&) { return Send(control, CB_GETDROPPEDSTATE) != 0; }},
    {"ScrollDown", kMultiLineEditId, [](platform::UiaElement& e) { return e.Scroll(2, 4); },
     [](HWND control, Child&) { return Send(control, EM_GETFIRSTVISIBLELINE) > 0; }},
    {"SetFocus", kMultiLineEditId, [](platform::UiaElement& e) { return e.SetFocus(); },
     [](HWND control, Child&) {
       GUITHREADINFO info{};
       info.cbSize = sizeof info;
       return GetGUIThreadInfo(GetWindowThreadProcessId(control, nullptr), &info) &&
              info.hwndFocus == control;
     }},
};

class UiaElementActions : public UiaFixtureProgram,
                          public ::testing::WithParamInterface<ElementAction> {};

TEST_P(UiaElementActions, ActOnTheControl) {
  const ElementAction& action = GetParam();
  const HWND control = GetDlgItem(top_, action.controlId);
  ASSERT_NE(control, nullptr);
  const std::unique_ptr<platform::UiaElement> element = Element(control);
  ASSERT_TRUE(element);
  if (!action.act(*element)) {
    GTEST_SKIP() << action.name << " is not available through UI Automation here";
  }
  EXPECT_TRUE(testing::WaitUntil([&] { return action.done(control, *fixture_); }));
}

INSTANTIATE_TEST_SUITE_P(Patterns, UiaElementActions, ::testing::ValuesIn(kElementActions),
                         [](const ::testing::TestParamInfo<ElementAction>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(UiaFixtureProgram, ComboBoxReportsItsExpandCollapseState) {
  const HWND combo = GetDlgItem(top_, kComboBoxId);
  const std::unique_ptr<platform::UiaElement> element = Element(combo);
  ASSERT_TRUE(element);
  const std::optional<std::int32_t> state = element->ExpandCollapseState();
  if (!state) GTEST_SKIP() << "the combo box's ExpandCollapse pattern is not available";
  EXPECT_EQ(*state, 0);  // collapsed
  ASSERT_TRUE(element->Expand());
  EXPECT_TRUE(testing::WaitUntil([&] { return element->ExpandCollapseState() == 1; }));
  ASSERT_TRUE(element->Collapse());
  EXPECT_TRUE(testing::WaitUntil([&] { return Send(combo, CB_GETDROPPEDSTATE) == 0; }));
  EXPECT_EQ(element->ExpandCollapseState(), 0);
}

}  // namespace
}  // namespace velmora::computer_use
