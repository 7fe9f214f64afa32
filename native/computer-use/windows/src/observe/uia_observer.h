// The observer: owns the process's UI Automation client and the current observation, looks up
// applications and their windows, and resolves element ids of the current observation.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "observe/element_walk.h"
#include "observe/observation.h"
#include "observe/window_identity.h"
#include "platform/platform.h"

namespace velmora::computer_use {

inline constexpr std::size_t kMaxApplicationWindows = 128;

// The observer: owns the process's UI Automation client and the current observation.
class UiaObserver {
 public:
  // Creates the UI Automation client; throws PlatformError when it cannot.
  explicit UiaObserver(platform::Platform& platform);
  UiaObserver(const UiaObserver&) = delete;
  UiaObserver& operator=(const UiaObserver&) = delete;

  Observation ObserveWindow(platform::WindowHandle window, bool skipElements);
  Observation ObserveForeground();
  bool IsObservationCurrent(const std::string& observationId, const std::string& stateHash);
  platform::WindowHandle GetObservedWindow();
  bool ElementsSkipped();

  std::vector<Observation> FindApplicationWindows(const std::string& appIdentity,
                                                  const std::string& windowIdentity,
                                                  bool activationOnly);
  Observation ObserveApplication(const std::string& appIdentity, const std::string& windowIdentity,
                                 bool activationOnly);
  // The live element, only while the observation is current and the element unchanged.
  ElementRef ResolveTarget(const std::string& elementId, const std::string& observationId,
                           const std::string& stateHash);

  // Runs the callable with UI Automation's automatic focusing switched off, and restores it on
  // every path. False when automation is unavailable or the setting cannot be changed, which
  // makes it unavailable from then on.
  bool RunWithoutAutoFocus(const std::function<bool()>& action);
  // False once switching the automatic focusing failed: actions can no longer run safely.
  bool AutomationAvailable() const { return automationAvailable_; }

  std::optional<ElementNode> DescribeFocusedElement();
  std::optional<ElementNode> DescribeElementAtPoint(std::int32_t x, std::int32_t y);

 private:
  bool IsObservationCurrentLocked(const std::string& observationId, const std::string& stateHash);

  platform::Platform& platform_;
  std::unique_ptr<platform::UiaClient> client_;
  std::atomic<bool> automationAvailable_{true};

  std::mutex mutex_;
  ElementTable elements_;
  std::unordered_map<std::string, ElementNode> nodes_;
  std::string currentObservationId_;
  std::string currentStateHash_;
  platform::WindowHandle currentWindow_ = platform::kNullWindow;
  bool foregroundBound_ = true;
  bool elementsSkipped_ = false;
  std::string currentAppIdentity_;
  std::string currentWindowIdentity_;
  std::uint32_t currentTopologyGeneration_ = 0;
};

}  // namespace velmora::computer_use
