#include "service/act_handler.h"

#include <cmath>
#include <limits>

#include "act/activation.h"
#include "act/control_actions.h"
#include "act/wait.h"
#include "observe/window_capture.h"
#include "protocol/error_codes.h"

namespace velmora::computer_use {
namespace {

constexpr double kInt32Low = -2147483648.0;
constexpr double kInt32High = 2147483647.0;

// Truncated toward zero; a value outside the 32-bit range (or not a number) is the lowest one.
std::int32_t ToSequence(double value) {
  const double truncated = std::trunc(value);
  if (!(truncated >= kInt32Low && truncated <= kInt32High)) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(truncated);
}

Json Refuse(Json result, ErrorCode code) {
  SetBool(result, "ok", false);
  SetString(result, "errorCode", ErrorWord(code));
  return result;
}

bool HasMembers(const Json& object) {
  return object.is_object() && !object.empty();
}

}  // namespace

bool LeaseTable::Accept(const std::string& leaseId, std::int32_t sequence) {
  std::lock_guard lock(mutex_);
  auto lease = leases_.find(leaseId);
  if (lease == leases_.end()) {
    uses_.push_back(leaseId);
    lease = leases_.emplace(leaseId, Lease{0, std::prev(uses_.end())}).first;
  } else {
    uses_.splice(uses_.end(), uses_, lease->second.use);
  }
  if (sequence <= lease->second.lastSequence) return false;
  lease->second.lastSequence = sequence;
  if (leases_.size() > kMaxLeases) {
    // The lease just used is the most recent: never the one that goes, so that a replay of it
    // right after is still refused.
    leases_.erase(uses_.front());
    uses_.pop_front();
  }
  return true;
}

std::size_t LeaseTable::Size() const {
  std::lock_guard lock(mutex_);
  return leases_.size();
}

bool ActHandler::DeadlineHolds(double deadline) {
  const std::uint64_t now =
      (platform_.system.SystemTimeAsFileTime() - kUnixEpochAsFileTime) / 10000;
  return !(static_cast<double>(now) > deadline);
}

bool ActHandler::GuardHolds(const Guard& guard) {
  if (!session_.IsSessionSafe() || !(guard.generation >= 0)) return false;
  // A generation past the 64-bit range can match no record.
  if (guard.generation >= 18446744073709551616.0) return false;
  return interactions_.IsRecordCurrent(guard.window, guard.interactionId,
                                       static_cast<std::uint64_t>(guard.generation)) &&
         session_.IsArmed();
}

platform::WindowHandle ActHandler::ForegroundRoot() {
  const platform::WindowHandle foreground = platform_.windows.ForegroundWindow();
  return foreground == platform::kNullWindow ? platform::kNullWindow
                                             : platform_.windows.RootWindow(foreground);
}

std::optional<PhysicalPoint> ActHandler::TargetPoint(const Json& target) {
  const Json& box = ObjectOrEmpty(target, "normalizedBox");
  if (box.empty()) return std::nullopt;
  const double x = GetNumber(box, "x", 0);
  const double y = GetNumber(box, "y", 0);
  const double width = GetNumber(box, "width", 0);
  const double height = GetNumber(box, "height", 0);
  if (!(x >= 0 && y >= 0 && width > 0 && height > 0 && x + width <= 1.0 && y + height <= 1.0)) {
    return std::nullopt;
  }
  // The foreground window itself, not its root.
  const std::optional<platform::Rect> bounds =
      GetWindowBounds(platform_.windows, platform_.windows.ForegroundWindow());
  if (!bounds) return std::nullopt;
  const double spanX = static_cast<double>(bounds->right) - bounds->left;
  const double spanY = static_cast<double>(bounds->bottom) - bounds->top;
  return PhysicalPoint{bounds->left + static_cast<std::int32_t>(spanX * (x + width * 0.5)),
                       bounds->top + static_cast<std::int32_t>(spanY * (y + height * 0.5))};
}

Json ActHandler::Act(const Json& payload) {
  // 1 to 3: the request's shape.
  const Json& action = RequireObject(payload, "action");
  const Json& context = RequireObject(payload, "context");
  const std::string leaseId = ToUtf8(GetString(context, "leaseId", u""));
  const std::int32_t sequence = ToSequence(GetNumber(context, "sequence", 0));
  const double deadline = GetNumber(context, "deadline", 0);
  const std::string observationId = ToUtf8(GetString(context, "observationId", u""));
  const std::string stateHash = ToUtf8(GetString(context, "expectedStateHash", u""));
  const std::string targetIdentity = ToUtf8(GetString(context, "targetIdentity", u""));
  const Json& interaction = ObjectOrEmpty(context, "interaction");
  if (leaseId.empty() || sequence < 1 || observationId.empty() || stateHash.empty() ||
      targetIdentity.empty()) {
    FailWith(ErrorCode::kInvalidActionContext);
  }

  // 4 to 9: refusals that leave the desktop untouched.
  Json result = Json::object();
  SetString(result, "executionState", "not_started");
  if (!DeadlineHolds(deadline)) return Refuse(std::move(result), ErrorCode::kActionDeadlineExpired);
  Guard guard;
  guard.window = observe_.LastObservedWindow();
  guard.interactionId = ToUtf8(GetString(interaction, "id", u""));
  guard.generation = GetNumber(interaction, "generation", -1);
  if (!DeadlineHolds(deadline) || !GuardHolds(guard)) {
    return Refuse(std::move(result), ErrorCode::kUserInterference);
  }
  if (!observer_.IsObservationCurrent(observationId, stateHash)) {
    return Refuse(std::move(result), ErrorCode::kStaleObservation);
  }
  if (!leases_.Accept(leaseId, sequence)) {
    return Refuse(std::move(result), ErrorCode::kDuplicateActionSequence);
  }

  // 10 to 12: what the current observation allows.
  const std::u16string kind = GetString(action, "kind", u"");
  if (kind != u"activate_app" && observer_.ElementsSkipped()) {
    return Refuse(std::move(result), ErrorCode::kStaleObservation);
  }
  if (!observer_.AutomationAvailable()) {
    SetBool(result, "ok", false);
    SetString(result, "errorCode", kGenericFailureCode);
    return result;
  }

  // 13: activation, asking the deadline and the guard before every step and every look.
  if (kind == u"activate_app") {
    const std::string appIdentity = ToUtf8(GetString(action, "appIdentity", u""));
    if (appIdentity.empty()) FailWith(ErrorCode::kInvalidRequest);
    result.erase("executionState");
    const std::string windowIdentity = ToUtf8(GetString(action, "windowIdentity", u""));
    ActivationOutcome outcome;
    const std::optional<ErrorCode> error =
        ActivateApp(platform_, appIdentity, windowIdentity, outcome,
                    [&] { return DeadlineHolds(deadline) && GuardHolds(guard); });
    Json activation = Json::object();
    SetString(activation, "stage", outcome.stage);
    SetBool(activation, "apiAccepted", outcome.apiAccepted);
    SetBool(activation, "initiallyForeground", outcome.initiallyForeground);
    SetBool(activation, "immediatelyForeground", outcome.immediatelyForeground);
    result["activation"] = std::move(activation);
    SetBool(result, "ok", !error);
    if (error) SetString(result, "errorCode", ErrorWord(*error));
    return result;
  }

  // 14: a wait touches nothing, so its replies keep "not_started". Running into its time-out
  // or its deadline is not an error; the user stepping in is.
  if (kind == u"wait") {
    const bool held =
        WaitForAssertion(platform_, observer_, action, targetIdentity, stateHash,
                         [&] { return DeadlineHolds(deadline) && GuardHolds(guard); });
    const bool guarded = GuardHolds(guard);
    SetBool(result, "ok", held && guarded);
    if (!guarded) SetString(result, "errorCode", ErrorWord(ErrorCode::kUserInterference));
    return result;
  }

  // 15 to 20: the target, the path and the point.
  const Json& target = ObjectOrEmpty(action, "target");
  const ElementRef element = observer_.ResolveTarget(targetIdentity, observationId, stateHash);
  const platform::WindowHandle observed = guard.window;
  const bool foreground = observed != platform::kNullWindow && ForegroundRoot() == observed;
  if ((kind == u"key" || kind == u"scroll") && HasMembers(target) && !element) {
    return Refuse(std::move(result), ErrorCode::kTargetNotFound);
  }
  std::optional<PhysicalPoint> point;
  if (!foreground) {
    if (target.contains("normalizedBox")) {
      return Refuse(std::move(result), ErrorCode::kBackgroundActionUnavailable);
    }
  } else {
    point = TargetPoint(target);
  }
  if (point) {
    const platform::WindowHandle hit = platform_.windows.WindowFromPoint(point->x, point->y);
    if (hit == platform::kNullWindow || platform_.windows.RootWindow(hit) != observed) {
      return Refuse(std::move(result), ErrorCode::kTargetNotFound);
    }
  }
  if ((kind == u"focus" || kind == u"click" || kind == u"double_click" || kind == u"type") &&
      !element && !point) {
    return Refuse(std::move(result), ErrorCode::kTargetNotFound);
  }
  const bool background =
      CanActInBackground(platform_.windows, platform_.messageLoops, action, element.get());
  if (!foreground && !background) {
    return Refuse(std::move(result), ErrorCode::kBackgroundActionUnavailable);
  }

  // 21 to 23: the action itself; from here input may have been delivered.
  const platform::WindowHandle before = ForegroundRoot();
  const std::uint64_t generationBefore = interactions_.InteractionGeneration();
  result.erase("executionState");
  const Continuation continuation = [&] {
    return DeadlineHolds(deadline) && GuardHolds(guard) &&
           observer_.IsObservationCurrent(observationId, stateHash) &&
           (!foreground || ForegroundRoot() == observed);
  };
  bool executed = false;
  if (foreground) {
    executed = input_.Act(action, element.get(), point, true, continuation);
  } else {
    executed = observer_.RunWithoutAutoFocus(
        [&] { return input_.Act(action, element.get(), point, false, continuation); });
  }
  const platform::WindowHandle after = ForegroundRoot();

  // 24 and 25: did the user take over meanwhile?
  if (!foreground) {
    const bool guarded = DeadlineHolds(deadline) && GuardHolds(guard);
    platform::WindowApi& windows = platform_.windows;
    const bool userMovedOn = windows.WindowProcessId(after) != windows.WindowProcessId(observed) &&
                             windows.RootOwnerWindow(after) != windows.RootOwnerWindow(observed) &&
                             interactions_.UserInteractedWith(after, generationBefore);
    std::optional<ErrorCode> error;
    if (!guarded) {
      error = ErrorCode::kUserInterference;
    } else if (after != before && !userMovedOn) {
      // The background action moved the foreground itself.
      error = ErrorCode::kActionFailed;
    }
    if (error) {
      input_.ReleaseHeldInput();
      return Refuse(std::move(result), *error);
    }
  }
  if (!executed) input_.ReleaseHeldInput();
  const bool guarded = DeadlineHolds(deadline) && GuardHolds(guard);
  SetBool(result, "ok", executed && guarded);
  if (!executed || !guarded) {
    SetString(result, "errorCode",
              ErrorWord(guarded ? ErrorCode::kActionFailed : ErrorCode::kUserInterference));
  }
  return result;
}

}  // namespace velmora::computer_use
