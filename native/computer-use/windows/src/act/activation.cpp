#include "act/activation.h"

#include <vector>

#include "observe/window_identity.h"

namespace velmora::computer_use {
namespace {

bool IsForeground(platform::WindowApi& windows, platform::WindowHandle window) {
  const platform::WindowHandle foreground = windows.ForegroundWindow();
  return foreground != platform::kNullWindow && windows.RootWindow(foreground) == window;
}

}  // namespace

ActivationOutcome ActivateWindow(platform::WindowApi& windows, platform::SystemApi& clock,
                                 const std::function<bool()>& proceed,
                                 platform::WindowHandle window) {
  ActivationOutcome outcome;
  if (!proceed()) return outcome;
  if (IsForeground(windows, window)) {
    if (proceed()) {
      outcome.initiallyForeground = true;
      outcome.activated = true;
      outcome.stage = "already_foreground";
    }
    return outcome;
  }
  outcome.apiAccepted = windows.SetForegroundWindow(window);
  outcome.immediatelyForeground = IsForeground(windows, window);
  // 26 looks with 25 pauses between them: about a quarter of a second.
  for (int polls = 0;; ++polls) {
    if (!proceed()) {
      outcome.stage = "blocked";
      return outcome;
    }
    if (IsForeground(windows, window)) {
      if (proceed()) {
        outcome.activated = true;
        outcome.stage = "activated";
      }
      return outcome;
    }
    if (polls >= kActivationPolls) {
      outcome.stage = outcome.apiAccepted ? "not_completed" : "denied";
      return outcome;
    }
    clock.Sleep(kActivationPollInterval);
  }
}

std::optional<ErrorCode> ActivateApp(platform::Platform& platform, const std::string& appIdentity,
                                     const std::string& windowIdentity, ActivationOutcome& outcome,
                                     const std::function<bool()>& proceed) {
  platform::WindowApi& windows = platform.windows;
  std::vector<platform::WindowHandle> candidates;
  for (const platform::WindowHandle window : windows.EnumerateTopLevelWindows()) {
    if (!windows.IsWindowVisible(window) || windows.OwnerWindow(window) != platform::kNullWindow) {
      continue;
    }
    if (!proceed()) return ErrorCode::kStaleObservation;
    // The identities alone: the access gate comes after the search, so that a window the helper
    // may not drive is reported as such rather than as missing.
    const platform::ProcessId processId = windows.WindowProcessId(window);
    const std::u16string path = GetProcessImagePath(platform, processId);
    if (path.empty()) continue;
    std::string identity;
    try {
      identity = AppIdentityForPath(platform.crypto, path);
    } catch (const std::runtime_error&) {
      continue;
    }
    if (identity == appIdentity &&
        (windowIdentity.empty() || WindowIdentityOf(window, processId) == windowIdentity)) {
      candidates.push_back(window);
    }
  }
  if (candidates.empty()) return ErrorCode::kAppNotFound;
  if (candidates.size() > 1) return ErrorCode::kTargetAmbiguous;
  const platform::WindowHandle window = candidates.front();
  if (!proceed()) return ErrorCode::kStaleObservation;
  if (CheckWindowAccess(platform, window) != kWindowAccessAllowed) return ErrorCode::kUipiBlocked;
  if (!proceed()) return ErrorCode::kStaleObservation;
  if (windows.IsIconic(window)) windows.ShowWindowAsync(window, platform::kSwRestore);
  if (!proceed()) return ErrorCode::kStaleObservation;
  outcome = ActivateWindow(windows, platform.system, proceed, window);
  if (outcome.activated) return std::nullopt;
  return outcome.stage == "blocked" ? ErrorCode::kUserInterference
                                    : ErrorCode::kAppActivationFailed;
}

}  // namespace velmora::computer_use
