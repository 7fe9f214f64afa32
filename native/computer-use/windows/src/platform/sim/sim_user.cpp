#include "platform/sim/sim_user.h"

#include <chrono>
#include <variant>

#include "protocol/json.h"

namespace velmora::computer_use::platform::sim {
namespace {

// How long an answer waits for the win-event hooks, as the system waits for a hung one.
constexpr std::chrono::seconds kDeliveryWait{2};

std::string Error(std::string_view reason) {
  return "error " + std::string(reason);
}

}  // namespace

std::string SimUser::Execute(std::string_view line) {
  const std::variant<UserCommand, UserCommandError> parsed = ParseUserCommand(line);
  if (const auto* error = std::get_if<UserCommandError>(&parsed)) return Error(error->reason);
  std::string answer = Run(std::get<UserCommand>(parsed));
  loops_.WaitForWinEvents(kDeliveryWait);
  return answer;
}

void SimUser::Click(const UserCommand& command, std::uint32_t flags) {
  std::uint32_t down = kWmLButtonDown;
  std::uint32_t up = kWmLButtonUp;
  if (command.button == MouseButton::kRight) {
    down = kWmRButtonDown;
    up = kWmRButtonUp;
  } else if (command.button == MouseButton::kMiddle) {
    down = kWmMButtonDown;
    up = kWmMButtonUp;
  }
  input_.SendMouse(kWmMouseMove, command.x, command.y, flags);
  input_.SendMouse(down, command.x, command.y, flags);
  input_.SendMouse(up, command.x, command.y, flags);
}

std::string SimUser::Run(const UserCommand& command) {
  switch (command.kind) {
    case UserCommandKind::kKeyDown:
    case UserCommandKind::kKeyUp:
    case UserCommandKind::kPress:
    case UserCommandKind::kType:
      for (const KeyEvent& key : command.keys) input_.SendKey(key.virtualKey, key.down);
      return "ok";
    case UserCommandKind::kClick:
      Click(command, 0);
      return "ok";
    case UserCommandKind::kInjectedClick:
      Click(command, kLlmhfInjected);
      return "ok";
    case UserCommandKind::kWheel:
      input_.SendMouse(kWmMouseWheel, command.x, command.y, 0, 0, command.wheelDelta);
      return "ok";
    case UserCommandKind::kMove:
      input_.SendMouse(kWmMouseMove, command.x, command.y);
      return "ok";
    case UserCommandKind::kActivate:
    case UserCommandKind::kClose: {
      const WindowHandle window = windows_.FindTopLevelWindow(command.name);
      if (window == kNullWindow) return Error("no visible window titled " + ToUtf8(command.name));
      if (command.kind == UserCommandKind::kActivate) {
        input_.ActivateWindow(window);
      } else {
        automation_.Remove(automation_.WindowElement(window));
        windows_.RemoveWindow(window);
      }
      return "ok";
    }
    case UserCommandKind::kFocus: {
      const WindowHandle foreground = windows_.ForegroundWindow();
      const SimElementId element =
          foreground == kNullWindow
              ? 0
              : automation_.FindByName(windows_.RootWindow(foreground), command.name);
      if (element == 0) return Error("no element named " + ToUtf8(command.name));
      automation_.SetFocusedElement(element);
      return "ok";
    }
    case UserCommandKind::kLock:
      sessions_.LockSession();
      return "ok";
    case UserCommandKind::kUnlock:
      sessions_.UnlockSession();
      return "ok";
    case UserCommandKind::kSwitchDesktop:
      sessions_.SwitchInputDesktop(command.name);
      return "ok";
  }
  return Error("unknown command");
}

}  // namespace velmora::computer_use::platform::sim
