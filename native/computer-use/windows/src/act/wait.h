// Waiting inside the helper for a condition on the observed window: its state changed, a text
// appeared, an element appeared or went away. The window is observed afresh every 100 ms; a
// wait never injects input.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "observe/observation.h"
#include "observe/uia_observer.h"
#include "platform/platform.h"
#include "protocol/json.h"

namespace velmora::computer_use {

inline constexpr std::chrono::milliseconds kWaitPollInterval{100};
inline constexpr double kDefaultWaitMs = 5000;
inline constexpr double kMinWaitMs = 100;
inline constexpr double kMaxWaitMs = 60000;

struct WaitAssertion {
  // "state_changed", "text_matches", "target_exists" or "target_missing"; anything else never
  // holds.
  std::u16string kind;
  std::optional<std::string> expectedStateHash;
  std::u16string pattern;
  std::u16string role;
  std::u16string name;
  std::u16string automationId;
  std::string selector;
};

// Throws JsonTypeError for members of the wrong type.
WaitAssertion ReadWaitAssertion(const Json& assertion);
// "timeoutMs" clamped to 100..60000 whole milliseconds; 5000 when missing or not finite.
std::chrono::milliseconds WaitTimeout(const Json& action);

// `contextStateHash` is the state the parent planned on: the baseline of "state_changed" and
// the only state in which a selector names an element.
bool EvaluateAssertion(const WaitAssertion& assertion, const Observation& observation,
                       const std::string& contextStateHash);

// Polls the observer's window until the assertion holds (true), or the time-out passes, the
// window turns out to be another one or `proceed` fails (false). False at once when the
// observed window is not `targetIdentity` ("app:window"). Each successful poll becomes the
// observer's current observation. Only the first description of the window can throw.
bool WaitForAssertion(platform::Platform& platform, UiaObserver& observer, const Json& action,
                      const std::string& targetIdentity, const std::string& contextStateHash,
                      const std::function<bool()>& proceed);

}  // namespace velmora::computer_use
