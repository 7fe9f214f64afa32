// The simulated desktop as a test bed: the simulated user's command lines, the input route to
// the applications and the patterns of the default scene.
#include <gtest/gtest.h>

#include "platform/sim/sim_keyboard_layout.h"
#include "platform/sim/sim_user_commands.h"
#include "support/sim_desktop_test.h"

namespace velmora::computer_use::platform::sim {
namespace {

// Every field of a command, so that a row states all of it; a key going up is negative.
auto Fields(std::string_view line) {
  const auto result = ParseUserCommand(line);
  EXPECT_TRUE(std::holds_alternative<UserCommand>(result)) << line;
  const UserCommand command =
      std::holds_alternative<UserCommand>(result) ? std::get<UserCommand>(result) : UserCommand{};
  std::vector<int> keys;
  for (const KeyEvent& key : command.keys) {
    keys.push_back(key.down ? int(key.virtualKey) : -int(key.virtualKey));
  }
  return std::tuple(command.kind, keys, command.x, command.y, command.wheelDelta, command.button,
                    command.name);
}

TEST(SimUserCommands, LinesParseIntoTheirCommands) {
  using enum UserCommandKind;
  struct Case {
    std::string_view line;
    UserCommandKind kind;
    std::vector<int> keys = {};
    std::int32_t x = 0, y = 0, wheelDelta = 0;
    MouseButton button = MouseButton::kLeft;
    std::u16string name = u"";
  };
  const int shift = kVkShift, space = kVkSpace;
  const Case cases[] = {
      {"key-down Escape", kKeyDown, {0x1B}},
      {"key-up Shift", kKeyUp, {-shift}},
      {"press A", kPress, {'A', -'A'}},
      {"press 7", kPress, {'7', -'7'}},
      {"press 0x2E", kPress, {0x2E, -0x2E}},
      {"press 13", kPress, {0x0D, -0x0D}},
      {"press ArrowUp\r", kPress, {0x26, -0x26}},
      // Shift is held around capitals and shifted symbols.
      {"type aB !",
       kType,
       {'A', -'A', shift, 'B', -'B', -shift, space, -space, shift, '1', -'1', -shift}},
      {.line = "click -10 20", .kind = kClick, .x = -10, .y = 20},
      {.line = "click 1 2 right", .kind = kClick, .x = 1, .y = 2, .button = MouseButton::kRight},
      {.line = "click 1 2 middle", .kind = kClick, .x = 1, .y = 2, .button = MouseButton::kMiddle},
      {.line = "wheel 5 6 -120", .kind = kWheel, .x = 5, .y = 6, .wheelDelta = -120},
      {.line = "injected-click 3 4", .kind = kInjectedClick, .x = 3, .y = 4},
      {.line = "move 3 4", .kind = kMove, .x = 3, .y = 4},
      {.line = "focus Remember me", .kind = kFocus, .name = u"Remember me"},
      {.line = "activate Caf\xC3\xA9", .kind = kActivate, .name = u"Caf\u00e9"},
      {.line = "close Velmora Demo", .kind = kClose, .name = u"Velmora Demo"},
      {.line = "switch-desktop Default", .kind = kSwitchDesktop, .name = u"Default"},
      {"lock", kLock},
      {"unlock", kUnlock},
  };
  for (const Case& each : cases) {
    EXPECT_EQ(Fields(each.line), std::tuple(each.kind, each.keys, each.x, each.y, each.wheelDelta,
                                            each.button, each.name))
        << each.line;
  }
  // Every printable ASCII character has a key, and the key gives the character back.
  for (char32_t c = U' '; c <= U'~'; ++c) {
    const std::optional<KeyStroke> stroke = KeyForCharacter(c);
    ASSERT_TRUE(stroke) << static_cast<int>(c);
    EXPECT_EQ(CharacterForKey(stroke->virtualKey, stroke->shift), static_cast<char16_t>(c));
  }
}

TEST(SimUserCommands, MalformedLinesAreRefused) {
  const std::vector<std::string_view> groups[] = {
      {"", "dance", "Lock", "lock now", "type", "type caf\xC3\xA9", "activate", "focus",
       "activate \xFF", "switch-desktop"},
      {"press", "press Esc", "press a", "press 00", "press 0x100", "press 99999999999", "press 0x"},
      {"click 10", "click x 20", "click 10 20 side", "click 10 20 left extra", "move 1 2 3",
       "wheel 1 2", "wheel 1 2 3 4"}};
  for (const auto& group : groups) {
    for (std::string_view line : group) {
      EXPECT_TRUE(std::holds_alternative<UserCommandError>(ParseUserCommand(line))) << line;
    }
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
  // Plays the user's lines in order; each is answered "ok".
  void Play(std::initializer_list<std::string_view> lines) {
    for (std::string_view line : lines) EXPECT_EQ(sim_.User().Execute(line), "ok") << line;
  }

  WindowHandle demo_{};
  WindowHandle settings_{};
};

TEST_F(DefaultSceneTest, TypedTextIsSentByAClickByEnterAndByAnotherProgramsClick) {
  ASSERT_EQ(sim_.Windows().ForegroundWindow(), demo_);
  Play({"type Hi there!", "press Backspace"});
  EXPECT_EQ(Demo(u"Message").value, u"Hi there");
  Play({"click 1600 980"});  // "Send"
  EXPECT_NE(Named(demo_, u"Sent: Hi there"), 0u);
  EXPECT_EQ(Demo(u"Message").value, u"");
  EXPECT_TRUE(Demo(u"Send").focused);

  Play({"focus Message", "type again", "focus Send", "press Enter"});
  EXPECT_NE(Named(demo_, u"Sent: again"), 0u);
  Play({"focus Message", "type x", "injected-click 1600 980"});
  EXPECT_NE(Named(demo_, u"Sent: x"), 0u);
}

TEST_F(DefaultSceneTest, PatternsActOnTheScene) {
  SimAutomation& automation = Automation();
  EXPECT_TRUE(automation.Toggle(Named(demo_, u"Remember me")));
  EXPECT_TRUE(Demo(u"Remember me").toggled);
  Play({"click 800 920"});  // the user's click toggles it back
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
  Play({"focus Password", "type s3cret"});
  EXPECT_EQ(Demo(u"Password").value, u"s3cret");
  EXPECT_EQ(automation.Value(Named(demo_, u"Password")), std::nullopt);

  const SimElementId items = Named(settings_, u"Items");
  Play({"wheel 1800 400 -360"});  // three notches towards the user
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
  Play({"click 1800 275"});
  EXPECT_EQ(windows.ForegroundWindow(), settings_);
  Play({"type !"});
  EXPECT_EQ(Settings(u"Name").value, u"guest!");
  Play({"activate Velmora Demo"});
  EXPECT_EQ(windows.ForegroundWindow(), demo_);
  EXPECT_TRUE(Demo(u"Message").focused);

  for (std::string_view refused : {"activate Nope", "close Nope", "focus Nope", "focus Name"}) {
    EXPECT_EQ(sim_.User().Execute(refused).rfind("error ", 0), 0u) << refused;
  }
  EXPECT_EQ(windows.ForegroundWindow(), demo_);
  Play({"close Velmora Recording Controller"});
  EXPECT_EQ(windows.FindTopLevelWindow(u"Velmora Recording Controller"), kNullWindow);

  Play({"lock"});
  EXPECT_FALSE(sim_.Sessions().InputDesktopName());
  Play({"unlock", "switch-desktop Screen-saver"});
  EXPECT_EQ(sim_.Sessions().InputDesktopName(), std::u16string(u"Screen-saver") + u'\0');
}

}  // namespace
}  // namespace velmora::computer_use::platform::sim
