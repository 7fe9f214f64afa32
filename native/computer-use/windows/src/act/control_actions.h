// Acting on a window in the background, without input: which actions can run that way, a
// classic push button's own command message, and the pattern attempts the background variants
// and the foreground click share.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/platform.h"
#include "protocol/json.h"

namespace velmora::computer_use {

// SMTO_BLOCK | SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT
inline constexpr std::uint32_t kCommandSendFlags = 0x0023;
inline constexpr std::uint32_t kCommandSendTimeoutMs = 500;

// What one attempt with a pattern or a control message came to.
enum class Attempt { kNotApplied, kSucceeded, kFailed };

// A classic push button behind an element: whether the element decides it (it has a window of
// class "Button"), whether a command message may click it, and what identifies it.
struct PushButton {
  bool decided = false;
  bool eligible = false;
  platform::WindowHandle button = platform::kNullWindow;
  platform::WindowHandle parent = platform::kNullWindow;
  platform::ProcessId processId = 0;
  std::int32_t controlId = 0;
  friend bool operator==(const PushButton&, const PushButton&) = default;
};

PushButton FindPushButton(platform::WindowApi& windows, platform::MessageLoopApi& loops,
                          platform::UiaElement& element);
// The button's own WM_COMMAND to its dialog, found again and checked unchanged right before.
Attempt ClickPushButton(platform::WindowApi& windows, platform::MessageLoopApi& loops,
                        platform::UiaElement& element, const std::function<bool()>& proceed);
// Invoke, Toggle or SelectionItem: not applied without the pattern; the continuation before
// the call.
Attempt TryPattern(platform::UiaElement& element, std::int32_t patternId,
                   const std::function<bool()>& proceed);
// Whether the action can run on the element without input.
bool CanActInBackground(platform::WindowApi& windows, platform::MessageLoopApi& loops,
                        const Json& action, platform::UiaElement* element);

}  // namespace velmora::computer_use
