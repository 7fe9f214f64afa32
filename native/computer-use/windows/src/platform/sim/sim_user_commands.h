// The simulated user's command lines: one command per line, parsed completely before anything
// reaches the desktop, so that a malformed line changes nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velmora::computer_use::platform::sim {

enum class UserCommandKind {
  kKeyDown,
  kKeyUp,
  kPress,
  kType,
  kClick,
  kWheel,
  kMove,
  kInjectedClick,
  kActivate,
  kFocus,
  kClose,
  kLock,
  kUnlock,
  kSwitchDesktop,
};

enum class MouseButton { kLeft, kRight, kMiddle };

// One key going down or up, as a typed text becomes a sequence of them.
struct KeyEvent {
  std::uint32_t virtualKey = 0;
  bool down = true;
};

struct UserCommand {
  UserCommandKind kind = UserCommandKind::kLock;
  // Key commands: one event; "type": every event of the text, Shift included.
  std::vector<KeyEvent> keys;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t wheelDelta = 0;
  MouseButton button = MouseButton::kLeft;
  // A window title, an element name or a desktop name.
  std::u16string name;
};

// The reason for "error ...", without the word "error".
struct UserCommandError {
  std::string reason;
};

// One line without its newline (a trailing carriage return is dropped).
std::variant<UserCommand, UserCommandError> ParseUserCommand(std::string_view line);

}  // namespace velmora::computer_use::platform::sim
