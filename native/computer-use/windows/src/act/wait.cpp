#include "act/wait.h"

#include <algorithm>
#include <cmath>

#include "common/text_case.h"
#include "observe/window_identity.h"

namespace velmora::computer_use {
namespace {

// Whether a node of the observation matches every criterion given; none when the test cannot
// be made: no criterion at all, or a selector (node ids are only meaningful in the state they
// were handed out in) while the state has changed.
std::optional<bool> FindNode(const WaitAssertion& assertion, const Observation& observation,
                             const std::string& contextStateHash) {
  if (!assertion.selector.empty() && observation.stateHash != contextStateHash) {
    return std::nullopt;
  }
  if (assertion.role.empty() && assertion.name.empty() && assertion.automationId.empty() &&
      assertion.selector.empty()) {
    return std::nullopt;
  }
  for (const ElementNode& node : observation.targets) {
    if ((assertion.role.empty() || EqualsIgnoringCase(node.role, assertion.role)) &&
        (assertion.name.empty() || node.name == assertion.name) &&
        (assertion.automationId.empty() || node.automationId == assertion.automationId) &&
        (assertion.selector.empty() || node.id == assertion.selector)) {
      return true;
    }
  }
  return false;
}

}  // namespace

WaitAssertion ReadWaitAssertion(const Json& assertion) {
  WaitAssertion read;
  read.kind = GetString(assertion, "kind", u"");
  if (assertion.contains("expected_state_hash")) {
    read.expectedStateHash = ToUtf8(GetString(assertion, "expected_state_hash", u""));
  }
  read.pattern = GetString(assertion, "pattern", u"");
  const Json& target = ObjectOrEmpty(assertion, "target");
  read.role = GetString(target, "role", u"");
  read.name = GetString(target, "name", u"");
  read.automationId = GetString(target, "automationId", u"");
  read.selector = ToUtf8(GetString(target, "selector", u""));
  return read;
}

std::chrono::milliseconds WaitTimeout(const Json& action) {
  double milliseconds = GetNumber(action, "timeoutMs", kDefaultWaitMs);
  if (!std::isfinite(milliseconds)) milliseconds = kDefaultWaitMs;
  milliseconds = std::trunc(std::clamp(milliseconds, kMinWaitMs, kMaxWaitMs));
  return std::chrono::milliseconds(static_cast<std::int64_t>(milliseconds));
}

bool EvaluateAssertion(const WaitAssertion& assertion, const Observation& observation,
                       const std::string& contextStateHash) {
  if (assertion.kind == u"state_changed") {
    return observation.stateHash != assertion.expectedStateHash.value_or(contextStateHash);
  }
  if (assertion.kind == u"text_matches") {
    if (assertion.pattern.empty()) return false;
    for (const ElementNode& node : observation.targets) {
      if (ContainsIgnoringCase(node.name, assertion.pattern)) return true;
    }
    return false;
  }
  if (assertion.kind == u"target_exists" || assertion.kind == u"target_missing") {
    const std::optional<bool> found = FindNode(assertion, observation, contextStateHash);
    return found && *found == (assertion.kind == u"target_exists");
  }
  return false;
}

bool WaitForAssertion(platform::Platform& platform, UiaObserver& observer, const Json& action,
                      const std::string& targetIdentity, const std::string& contextStateHash,
                      const std::function<bool()>& proceed) {
  const std::chrono::milliseconds timeout = WaitTimeout(action);
  const WaitAssertion assertion = ReadWaitAssertion(ObjectOrEmpty(action, "assertion"));

  const Observation window = DescribeWindow(platform, observer.GetObservedWindow());
  if (window.appIdentity.empty() || window.windowIdentity.empty() ||
      window.appIdentity + ":" + window.windowIdentity != targetIdentity) {
    return false;
  }

  platform::SystemApi& clock = platform.system;
  const std::uint64_t end = clock.TickCount64() + static_cast<std::uint64_t>(timeout.count());
  for (;;) {
    if (!proceed() || clock.TickCount64() >= end) return false;
    std::optional<Observation> seen;
    try {
      seen = observer.ObserveApplication(window.appIdentity, window.windowIdentity, false);
    } catch (...) {
      // The window may be busy or briefly gone: not there yet.
    }
    if (seen) {
      if (seen->appIdentity != window.appIdentity ||
          seen->windowIdentity != window.windowIdentity) {
        return false;
      }
      if (!proceed()) return false;
      if (EvaluateAssertion(assertion, *seen, contextStateHash)) return true;
    }
    if (!proceed()) return false;
    clock.Sleep(kWaitPollInterval);
  }
}

}  // namespace velmora::computer_use
