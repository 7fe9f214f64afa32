// What a recording records and how it tells the parent. The hooks take only what the moment
// gives (a `CapturedInput`); the events are built from it later, off the hooks, so that the
// user's input never waits for UI Automation or for the parent's pipe.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "observe/uia_observer.h"
#include "platform/platform.h"
#include "protocol/json.h"

namespace velmora::computer_use {

// Windows of this title are the recorder's own controls: nothing done in them is recorded.
inline constexpr std::u16string_view kRecordingControllerTitle = u"Velmora Recording Controller";

enum class CapturedKind : std::uint8_t { kSessionStarted, kKey, kMouse, kWindowEvent };

// Modifier keys held when the input came, as GetAsyncKeyState saw them.
enum ModifierBits : std::uint8_t {
  kModifierMeta = 1,
  kModifierControl = 2,
  kModifierAlt = 4,
  kModifierShift = 8,
  kModifierCapsLock = 16,  // toggled on
};

// One piece of the user's input, as cheap to take as the hooks must be.
struct CapturedInput {
  CapturedKind kind = CapturedKind::kSessionStarted;
  std::uint64_t fileTime = 0;                             // when it came
  platform::WindowHandle window = platform::kNullWindow;  // the event's top-level window
  std::uint32_t message = 0;                              // the hook's message, or the win event
  std::uint32_t virtualKey = 0;
  std::uint32_t scanCode = 0;
  std::uint8_t modifiers = 0;
  platform::KeyboardLayout layout = 0;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int16_t wheelDelta = 0;
  std::int32_t objectId = 0;
  // Where the keyboard focus was, and how many inputs that may move it had come before.
  platform::WindowHandle focusWindow = platform::kNullWindow;
  std::uint64_t focusEpoch = 0;
};

// "Backspace", "Tab", "Enter", "Escape", "Space", the arrows, "Delete", "Home", "End", as the
// "key" action names them; a digit or letter key's character; otherwise empty.
std::u16string KeyName(std::uint32_t virtualKey);

// Whether a key going down may move the keyboard focus (anything but the keys that type a
// character, Shift, Control and Caps Lock).
bool KeyMayMoveFocus(std::uint32_t virtualKey);

class RecordingEventBuilder {
 public:
  RecordingEventBuilder(platform::Platform& platform, UiaObserver& observer)
      : platform_(platform), observer_(observer) {}

  // The event for the input; none when it is not recorded (the recorder's own window, a window
  // gone before it could be described). `focusUnchanged` is asked once the focused element has
  // been described: false when the key may have gone to another element, whose text is then
  // withheld as a password field's.
  std::optional<Json> Build(const CapturedInput& input,
                            const std::function<bool()>& focusUnchanged);

 private:
  std::optional<Json> BaseEvent(std::string_view kind, const CapturedInput& input);
  std::optional<Json> KeyEvent(const CapturedInput& input,
                               const std::function<bool()>& focusUnchanged);
  std::optional<Json> MouseEvent(const CapturedInput& input);
  std::optional<Json> WindowEvent(const CapturedInput& input);

  platform::Platform& platform_;
  UiaObserver& observer_;
};

}  // namespace velmora::computer_use
