// The "observe" request: an observation of the foreground window or of an application's window,
// with its interaction record, bounds, element nodes and, when allowed, a screenshot with its
// text lines; or the application's list of windows when one has to be chosen.
#pragma once

#include <atomic>
#include <string>

#include "observe/uia_observer.h"
#include "observe/window_capture.h"
#include "platform/platform.h"
#include "protocol/json.h"
#include "safety/interaction_monitor.h"
#include "service/request_outcome.h"

namespace velmora::computer_use {

class ObserveHandler {
 public:
  ObserveHandler(platform::WindowApi& windows, platform::SystemApi& system, UiaObserver& observer,
                 WindowCapture& capture, InteractionMonitor& interactions)
      : windows_(windows),
        system_(system),
        observer_(observer),
        capture_(capture),
        interactions_(interactions) {}

  RequestOutcome Observe(const Json& payload, const std::string& requestIdUtf8);
  // The window of the last completed observation, for the actions.
  platform::WindowHandle LastObservedWindow() const { return lastObservedWindow_; }

 private:
  Json WindowListEntry(const Observation& window);
  RequestOutcome WindowSelection(const std::string& appIdentity, const Json& windowList,
                                 const std::string& selectionText);

  platform::WindowApi& windows_;
  platform::SystemApi& system_;
  UiaObserver& observer_;
  WindowCapture& capture_;
  InteractionMonitor& interactions_;
  std::atomic<platform::WindowHandle> lastObservedWindow_{platform::kNullWindow};
};

}  // namespace velmora::computer_use
