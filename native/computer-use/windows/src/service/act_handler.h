// The "act" request: checks the action's context in a fixed order (deadline, the user's
// interference, the observation it was planned on, the lease and its sequence), picks the
// foreground or the background path, runs the action and judges afterwards whether the user
// interfered. Always answers with a result object; only a malformed context throws.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

#include "act/input_controller.h"
#include "observe/uia_observer.h"
#include "platform/platform.h"
#include "protocol/json.h"
#include "safety/interaction_monitor.h"
#include "safety/session_monitor.h"
#include "service/observe_handler.h"

namespace velmora::computer_use {

inline constexpr std::size_t kMaxLeases = 128;

// The last accepted sequence of each lease, at most 128 leases; the least recently used other
// lease makes room for a new one.
class LeaseTable {
 public:
  // Consumes the sequence when it is above the lease's last one; false for a replay.
  bool Accept(const std::string& leaseId, std::int32_t sequence);
  std::size_t Size() const;

 private:
  struct Lease {
    std::int32_t lastSequence = 0;
    std::list<std::string>::iterator use;
  };
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Lease> leases_;
  std::list<std::string> uses_;  // least recently used first
};

class ActHandler {
 public:
  ActHandler(platform::Platform& platform, UiaObserver& observer, InteractionMonitor& interactions,
             DesktopSessionMonitor& session, InputController& input, const ObserveHandler& observe)
      : platform_(platform),
        observer_(observer),
        interactions_(interactions),
        session_(session),
        input_(input),
        observe_(observe) {}

  // Throws "invalid_action_context" for a context without its required fields.
  Json Act(const Json& payload);

 private:
  struct Guard {
    platform::WindowHandle window = platform::kNullWindow;
    std::string interactionId;
    double generation = -1;
  };
  bool DeadlineHolds(double deadline);
  bool GuardHolds(const Guard& guard);
  platform::WindowHandle ForegroundRoot();
  std::optional<PhysicalPoint> TargetPoint(const Json& target);

  platform::Platform& platform_;
  UiaObserver& observer_;
  InteractionMonitor& interactions_;
  DesktopSessionMonitor& session_;
  InputController& input_;
  const ObserveHandler& observe_;
  LeaseTable leases_;
};

}  // namespace velmora::computer_use
