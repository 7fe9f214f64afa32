#include "platform/sim/sim_world.h"

namespace velmora::computer_use::platform::sim {

WindowHandle SimWorld::NewHandleLocked() {
  nextHandle += 4;
  return static_cast<WindowHandle>(nextHandle);
}

void SimWorld::PostLocked(std::thread::id thread, const WindowMessage& message) {
  queues[thread].posted.push_back(message);
  wake.notify_all();
}

void SimWorld::FireWinEventLocked(std::uint32_t event, WindowHandle window, std::int32_t objectId,
                                  std::int32_t childId) {
  const auto found = windows.find(window);
  // The helper's own windows: its hidden ones, and any of its process.
  const bool own =
      found != windows.end() &&
      (found->second.handler != nullptr || (ownProcess != 0 && found->second.owner == ownProcess));
  for (const auto& [id, hook] : winEventHooks) {
    if (own && hook.skipOwnProcess) continue;
    if (event >= hook.eventMin && event <= hook.eventMax) {
      queues[hook.thread].events.push_back(PendingWinEvent{id, event, window, objectId, childId});
    }
  }
  wake.notify_all();
}

bool SimWorld::SetupFailsLocked(SetupFailure step) const {
  const auto it = failures.find(step);
  return it != failures.end() && it->second;
}

}  // namespace velmora::computer_use::platform::sim
