// The simulated desktop as a test bed: the simulated user's command lines, the input route to
// the applications and the patterns of the default scene.
#include <gtest/gtest.h>

#include "platform/sim/sim_keyboard_layout.h"
#include "platform/sim/sim_user_commands.h"
#include "support/sim_desktop_test.h"

namespace velmora::computer_use::platform::sim {
namespace {

UserCommand Parsed(std::string_view line) {
  auto result = ParseUserCommand(line);
  EXPECT_TRUE(std::holds_alternative<UserCommand>(result)) << line;
  return std::holds_alternative<UserCommand>(result) ? std::get<UserCommand>(result)
                                                     : UserCommand{};
}

TEST(SimUserCommands, KeysByNameAndCode) {
  struct Case {
    std::string_view line;
    UserCommandKind kind;
    std::vector<KeyEvent> keys;
  };
  const Case cases[] = {
      {"key-down Escape", UserCommandKind::kKeyDown, {{0x1B, true}}},
      {"key-up Shift", UserCommandKind::kKeyUp, {{kVkShift, false}}},
      {"press A", UserCommandKind::kPress, {{'A', true}, {'A', false}}},
      {"press 7", UserCommandKind::kPress, {{'7', true}, {'7', false}}},
      {"press 0x2E", UserCommandKind::kPress, {{0x2E, true}, {0x2E, false}}},
      {"press 13", UserCommandKind::kPress, {{0x0D, true}, {0x0D, false}}},
      {"press ArrowUp\r", UserCommandKind::kPress, {{0x26, true}, {0x26, false}}},
  };
  for (const Case& each : cases) {
    const UserCommand command = Parsed(each.line);
    EXPECT_EQ(command.kind, each.kind) << each.line;
    ASSERT_EQ(command.keys.size(), each.keys.size()) << each.line;
    for (std::size_t i = 0; i < each.keys.size(); ++i) {
      EXPECT_EQ(command.keys[i].virtualKey, each.keys[i].virtualKey) << each.line;
      EXPECT_EQ(command.keys[i].down, each.keys[i].down) << each.line;
    }
  }
}

TEST(SimUserCommands, TypingHoldsShiftAroundCapitalsAndSymbols) {
  const UserCommand command = Parsed("type aB !");
  const std::vector<std::pair<std::uint32_t, bool>> expected = {
      {'A', true},      {'A', false},      {kVkShift, true}, {'B', true},
      {'B', false},     {kVkShift, false}, {kVkSpace, true}, {kVkSpace, false},
      {kVkShift, true}, {'1', true},       {'1', false},     {kVkShift, false}};
  ASSERT_EQ(command.keys.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(command.keys[i].virtualKey, expected[i].first) << i;
    EXPECT_EQ(command.keys[i].down, expected[i].second) << i;
  }
  // Every printable ASCII character has a key, and the key gives the character back.
  for (char32_t c = U' '; c <= U'~'; ++c) {
    const std::optional<KeyStroke> stroke = KeyForCharacter(c);
    ASSERT_TRUE(stroke) << static_cast<int>(c);
    EXPECT_EQ(CharacterForKey(stroke->virtualKey, stroke->shift), static_cast<char16_t>(c));
  }
}

TEST(SimUserCommands, PointsButtonsAndNames) {
  UserCommand command = Parsed("click -10 20");
  EXPECT_EQ(command.kind, UserCommandKind::kClick);
  EXPECT_EQ(command.x, -10);
  EXPECT_EQ(command.y, 20);
  EXPECT_EQ(command.button, MouseButton::kLeft);
  EXPECT_EQ(Parsed("click 1 2 right").button, MouseButton::kRight);
  EXPECT_EQ(Parsed("click 1 2 middle").button, MouseButton::kMiddle);
  command = Parsed("wheel 5 6 -120");
  EXPECT_EQ(command.kind, UserCommandKind::kWheel);
  EXPECT_EQ(command.wheelDelta, -120);
  EXPECT_EQ(Parsed("injected-click 3 4").kind, UserCommandKind::kInjectedClick);
  EXPECT_EQ(Parsed("move 3 4").kind, UserCommandKind::kMove);
  command = Parsed("focus Remember me");
  EXPECT_EQ(command.kind, UserCommandKind::kFocus);
  EXPECT_EQ(command.name, u"Remember me");
  EXPECT_EQ(Parsed("activate Caf\xC3\xA9").name, u"Caf\u00e9");
  EXPECT_EQ(Parsed("close Velmora Demo").kind, UserCommandKind::kClose);
  EXPECT_EQ(Parsed("switch-desktop Default").kind, UserCommandKind::kSwitchDesktop);
  EXPECT_EQ(Parsed("lock").kind, UserCommandKind::kLock);
  EXPECT_EQ(Parsed("unlock").kind, UserCommandKind::kUnlock);
}

TEST(SimUserCommands, MalformedLinesAreRefused) {
  for (std::string_view line : {"",
                                "dance",
                                "Lock",
                                "lock now",
                                "press",
                                "press Esc",
                                "press a",
                                "press 00",
                                "press 0x100",
                                "press 99999999999",
                                "press 0x",
                                "click 10",
                                "click x 20",
                                "click 10 20 side",
                                "click 10 20 left extra",
                                "move 1 2 3",
                                "wheel 1 2",
                                "wheel 1 2 3 4",
                                "type",
                                "type caf\xC3\xA9",
                                "activate",
                                "focus",
                                "activate \xFF",
                                "switch-desktop"}) {
    EXPECT_TRUE(std::holds_alternative<UserCommandError>(ParseUserCommand(line))) << line;
  }
}

constexpr std::uint32_t kWmCommand = 0x0111;

class DefaultSceneTest : public testing::SimDesktopTest {
 protected:
  void SetUp() override {
    Scene("default");
    demo_ = sim_.Windows().FindTopLevelWindow(u"Velmora Demo");
    settings_ = sim_.Windows().FindTopLevelWindow(u"Settings");
  }
  SimAutomation& Automation() { return sim_.Automation(); }
  SimElementId Named(WindowHandle window, std::u16string_view name) {
    return Automation().FindByName(window, name);
  }
  SimElement Demo(std::u16string_view name) { return Automation().Get(Named(demo_, name)); }
  SimElement Settings(std::u16string_view name) { return Automation().Get(Named(settings_, name)); }
  std::string Do(std::string_view line) { return sim_.User().Execute(line); }

  WindowHandle demo_{};
  WindowHandle settings_{};
};

TEST_F(DefaultSceneTest, TypedTextIsSentByAClickByEnterAndByAnotherProgramsClick) {
  ASSERT_EQ(sim_.Windows().ForegroundWindow(), demo_);
  EXPECT_EQ(Do("type Hi there!"), "ok");
  EXPECT_EQ(Do("press Backspace"), "ok");
  EXPECT_EQ(Demo(u"Message").value, u"Hi there");
  EXPECT_EQ(Do("click 1600 980"), "ok");  // "Send"
  EXPECT_NE(Named(demo_, u"Sent: Hi there"), 0u);
  EXPECT_EQ(Demo(u"Message").value, u"");
  EXPECT_TRUE(Demo(u"Send").focused);

  EXPECT_EQ(Do("focus Message"), "ok");
  EXPECT_EQ(Do("type again"), "ok");
  EXPECT_EQ(Do("focus Send"), "ok");
  EXPECT_EQ(Do("press Enter"), "ok");
  EXPECT_NE(Named(demo_, u"Sent: again"), 0u);
  EXPECT_EQ(Do("focus Message"), "ok");
  EXPECT_EQ(Do("type x"), "ok");
  EXPECT_EQ(Do("injected-click 1600 980"), "ok");
  EXPECT_NE(Named(demo_, u"Sent: x"), 0u);
}

TEST_F(DefaultSceneTest, PatternsActOnTheScene) {
  SimAutomation& automation = Automation();
  EXPECT_TRUE(automation.Toggle(Named(demo_, u"Remember me")));
  EXPECT_TRUE(Demo(u"Remember me").toggled);
  EXPECT_EQ(Do("click 800 920"), "ok");  // the user's click toggles it back
  EXPECT_FALSE(Demo(u"Remember me").toggled);

  const SimElementId advanced = Named(settings_, u"Advanced");
  EXPECT_FALSE(automation.Invoke(advanced));  // only ExpandCollapse
  EXPECT_TRUE(automation.Expand(advanced));
  EXPECT_NE(Named(settings_, u"Proxy"), 0u);
  EXPECT_TRUE(automation.Collapse(advanced));
  EXPECT_EQ(Named(settings_, u"Proxy"), 0u);

  EXPECT_FALSE(automation.SetValue(Named(settings_, u"Version"), u"2"));
  EXPECT_EQ(Settings(u"Version").value, u"1.0.0");
  EXPECT_TRUE(automation.SetValue(Named(settings_, u"Name"), u"admin"));
  EXPECT_EQ(automation.Value(Named(settings_, u"Name")), u"admin");

  // A password field takes the keys but never gives its value out.
  EXPECT_EQ(Do("focus Password"), "ok");
  EXPECT_EQ(Do("type s3cret"), "ok");
  EXPECT_EQ(Demo(u"Password").value, u"s3cret");
  EXPECT_EQ(automation.Value(Named(demo_, u"Password")), std::nullopt);

  const SimElementId items = Named(settings_, u"Items");
  EXPECT_EQ(Do("wheel 1800 400 -360"), "ok");  // three notches towards the user
  EXPECT_DOUBLE_EQ(automation.Get(items).verticalScrollPercent, 30.0);
  EXPECT_TRUE(automation.ScrollVertically(items, -500));
  EXPECT_DOUBLE_EQ(automation.Get(items).verticalScrollPercent, 0.0);
}

TEST_F(DefaultSceneTest, ApplyAndDarkModeAreClassicButtonWindows) {
  SimWindows& windows = sim_.Windows();
  const WindowHandle apply = Settings(u"Apply").nativeWindow;
  EXPECT_EQ(windows.ClassName(apply), std::u16string(u"Button"));
  EXPECT_EQ(windows.WindowStyle(apply), 0x40000000);  // WS_CHILD | BS_PUSHBUTTON
  EXPECT_EQ(windows.DialogControlId(apply), 1001);
  EXPECT_EQ(windows.ParentWindow(apply), settings_);
  EXPECT_EQ(windows.WindowProcessId(apply), windows.WindowProcessId(settings_));
  const WindowHandle darkMode = Settings(u"Dark mode").nativeWindow;
  EXPECT_EQ(windows.ClassName(darkMode), std::u16string(u"Button"));
  EXPECT_EQ(windows.WindowStyle(darkMode), 0x40000003);  // WS_CHILD | BS_AUTOCHECKBOX

  // Another control id or notification does nothing; BN_CLICKED from Apply applies.
  windows.SendWindowMessage(settings_, kWmCommand, 1002, static_cast<std::intptr_t>(apply));
  windows.SendWindowMessage(settings_, kWmCommand, 1001 | (1u << 16), 0);
  EXPECT_NE(Named(settings_, u"Idle"), 0u);
  windows.SendWindowMessage(settings_, kWmCommand, 1001, static_cast<std::intptr_t>(apply));
  EXPECT_NE(Named(settings_, u"Applied"), 0u);
}

TEST_F(DefaultSceneTest, WindowCommandsAndRefusals) {
  SimWindows& windows = sim_.Windows();
  // A click in Settings brings it forward with the focus on the field under the pointer.
  EXPECT_EQ(Do("click 1800 275"), "ok");
  EXPECT_EQ(windows.ForegroundWindow(), settings_);
  EXPECT_EQ(Do("type !"), "ok");
  EXPECT_EQ(Settings(u"Name").value, u"guest!");
  EXPECT_EQ(Do("activate Velmora Demo"), "ok");
  EXPECT_EQ(windows.ForegroundWindow(), demo_);
  EXPECT_TRUE(Demo(u"Message").focused);

  for (std::string_view refused : {"activate Nope", "close Nope", "focus Nope", "focus Name"}) {
    EXPECT_EQ(Do(refused).rfind("error ", 0), 0u) << refused;
  }
  EXPECT_EQ(windows.ForegroundWindow(), demo_);
  EXPECT_EQ(Do("close Velmora Recording Controller"), "ok");
  EXPECT_EQ(windows.FindTopLevelWindow(u"Velmora Recording Controller"), kNullWindow);

  EXPECT_EQ(Do("lock"), "ok");
  EXPECT_FALSE(sim_.Sessions().InputDesktopName());
  EXPECT_EQ(Do("unlock"), "ok");
  EXPECT_EQ(Do("switch-desktop Screen-saver"), "ok");
  EXPECT_EQ(sim_.Sessions().InputDesktopName(), std::u16string(u"Screen-saver") + u'\0');
}

}  // namespace
}  // namespace velmora::computer_use::platform::sim
