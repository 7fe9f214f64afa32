#include "platform/sim/sim_user_commands.h"

#include <charconv>
#include <optional>

#include "platform/sim/sim_keyboard_layout.h"
#include "protocol/json.h"

namespace velmora::computer_use::platform::sim {
namespace {

// Splits off the first word; `rest` keeps what follows its single separating space.
std::string_view TakeWord(std::string_view& rest) {
  const std::size_t space = rest.find(' ');
  const std::string_view word = rest.substr(0, space);
  rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
  return word;
}

std::optional<std::int32_t> ParseInt(std::string_view text) {
  std::int32_t value = 0;
  if (text.empty()) return std::nullopt;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "X Y" at the front of `rest`.
bool ParsePoint(std::string_view& rest, UserCommand& command) {
  const std::optional<std::int32_t> x = ParseInt(TakeWord(rest));
  const std::optional<std::int32_t> y = ParseInt(TakeWord(rest));
  if (!x || !y) return false;
  command.x = *x;
  command.y = *y;
  return true;
}

std::optional<std::u16string> ParseName(std::string_view text) {
  if (text.empty()) return std::nullopt;
  try {
    return Utf8ToUtf16(text);
  } catch (const std::invalid_argument&) {
    return std::nullopt;
  }
}

std::variant<UserCommand, UserCommandError> Fail(std::string reason) {
  return UserCommandError{std::move(reason)};
}

// The keys a US keyboard presses to type the text, Shift held around capitals and symbols.
std::optional<std::vector<KeyEvent>> TypingKeys(const std::u16string& text) {
  std::vector<KeyEvent> keys;
  for (const char16_t unit : text) {
    const std::optional<KeyStroke> stroke = KeyForCharacter(unit);
    if (!stroke) return std::nullopt;
    if (stroke->shift) keys.push_back({kVkShift, true});
    keys.push_back({stroke->virtualKey, true});
    keys.push_back({stroke->virtualKey, false});
    if (stroke->shift) keys.push_back({kVkShift, false});
  }
  return keys;
}

}  // namespace

std::variant<UserCommand, UserCommandError> ParseUserCommand(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::string_view rest = line;
  const std::string_view verb = TakeWord(rest);
  UserCommand command;

  if (verb == "key-down" || verb == "key-up" || verb == "press") {
    const std::optional<std::uint32_t> key = ParseKeyName(rest);
    if (!key) return Fail("unknown key");
    command.kind = verb == "key-down" ? UserCommandKind::kKeyDown
                   : verb == "key-up" ? UserCommandKind::kKeyUp
                                      : UserCommandKind::kPress;
    if (command.kind != UserCommandKind::kKeyUp) command.keys.push_back({*key, true});
    if (command.kind != UserCommandKind::kKeyDown) command.keys.push_back({*key, false});
    return command;
  }
  if (verb == "type") {
    const std::optional<std::u16string> text = ParseName(rest);
    if (!text) return Fail("nothing to type");
    const std::optional<std::vector<KeyEvent>> keys = TypingKeys(*text);
    if (!keys) return Fail("a character has no key on the US layout");
    command.kind = UserCommandKind::kType;
    command.keys = *keys;
    return command;
  }
  if (verb == "click" || verb == "injected-click" || verb == "move") {
    if (!ParsePoint(rest, command)) return Fail("expected X Y");
    command.kind = verb == "click"  ? UserCommandKind::kClick
                   : verb == "move" ? UserCommandKind::kMove
                                    : UserCommandKind::kInjectedClick;
    if (command.kind == UserCommandKind::kClick && !rest.empty()) {
      const std::string_view button = TakeWord(rest);
      if (button == "right") {
        command.button = MouseButton::kRight;
      } else if (button == "middle") {
        command.button = MouseButton::kMiddle;
      } else if (button != "left") {
        return Fail("unknown button");
      }
    }
    if (!rest.empty()) return Fail("unexpected words after the command");
    return command;
  }
  if (verb == "wheel") {
    if (!ParsePoint(rest, command)) return Fail("expected X Y DELTA");
    const std::optional<std::int32_t> delta = ParseInt(TakeWord(rest));
    if (!delta || !rest.empty()) return Fail("expected X Y DELTA");
    command.kind = UserCommandKind::kWheel;
    command.wheelDelta = *delta;
    return command;
  }
  if (verb == "activate" || verb == "focus" || verb == "close" || verb == "switch-desktop") {
    const std::optional<std::u16string> name = ParseName(rest);
    if (!name) return Fail("expected a name");
    command.kind = verb == "activate" ? UserCommandKind::kActivate
                   : verb == "focus"  ? UserCommandKind::kFocus
                   : verb == "close"  ? UserCommandKind::kClose
                                      : UserCommandKind::kSwitchDesktop;
    command.name = *name;
    return command;
  }
  if ((verb == "lock" || verb == "unlock") && rest.empty() && line.size() == verb.size()) {
    command.kind = verb == "lock" ? UserCommandKind::kLock : UserCommandKind::kUnlock;
    return command;
  }
  return Fail("unknown command");
}

}  // namespace velmora::computer_use::platform::sim
