// Bringing an application's window to the foreground, with a report of how far the attempt got,
// so that a parent can tell the system's refusal from a slow switch or from the user stepping in.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "protocol/error_codes.h"

namespace velmora::computer_use {

// The window is looked at this many times more after the request, with a pause between looks.
inline constexpr int kActivationPolls = 25;
inline constexpr std::chrono::milliseconds kActivationPollInterval{10};

struct ActivationOutcome {
  bool activated = false;
  bool apiAccepted = false;
  bool initiallyForeground = false;
  bool immediatelyForeground = false;
  // "blocked", "already_foreground", "activated", "not_completed" or "denied".
  std::string stage = "blocked";
};

// Brings `window` forward while `proceed` holds.
ActivationOutcome ActivateWindow(platform::WindowApi& windows, platform::SystemApi& clock,
                                 const std::function<bool()>& proceed,
                                 platform::WindowHandle window);

// Finds the one visible, unowned top-level window of the application (and of the window
// identity, when given) and activates it. No code on success; otherwise "stale_observation",
// "app_not_found", "target_ambiguous", "uipi_blocked", "user_interference" or
// "app_activation_failed".
std::optional<ErrorCode> ActivateApp(platform::Platform& platform, const std::string& appIdentity,
                                     const std::string& windowIdentity, ActivationOutcome& outcome,
                                     const std::function<bool()>& proceed);

}  // namespace velmora::computer_use
