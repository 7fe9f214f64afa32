// The fixture of every test over the simulated desktop: the platform on in-memory streams, the
// helper's service over it once a test asks for it, and the requests, recording events and user
// input the tests drive.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/sim_element_builder.h"
#include "platform/sim/sim_platform.h"
#include "protocol/envelopes.h"
#include "service/helper_service.h"
#include "support/service_requests.h"
#include "support/test_support.h"

namespace velmora::computer_use::testing {

// The process of the helper's parent in the scenes.
inline constexpr platform::ProcessId kParentPid = 4242;

class SimDesktopTest : public ::testing::Test {
 protected:
  using ElementBuilder = platform::sim::ElementBuilder;

  // Puts one of the built-in scenes on the desktop.
  void Scene(std::string_view name) { ASSERT_TRUE(ApplyScene(sim_, name, kParentPid)) << name; }

  // Made on first use: a service observes through its own automation client from the start.
  HelperService& Service() {
    if (!service_) service_.emplace(sim_.Get(), writer_);
    return *service_;
  }

  // Serves one request with a fresh id (no payload key when `payload` is none) and answers the
  // frames written meanwhile.
  std::vector<Json> ServeFrames(const std::string& method,
                                const std::optional<Json>& payload = Json::object()) {
    Json frame{{"type", "request"},
               {"requestId", "id-" + std::to_string(++requests_)},
               {"method", method}};
    if (payload) frame["payload"] = *payload;
    const std::size_t before = output_.JsonFrames().size();
    shutdownAsked_ = Service().ServeRequest(CheckRequestEnvelope(frame), frame);
    std::vector<Json> frames = output_.JsonFrames();
    frames.erase(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(before));
    return frames;
  }
  // Its result, or the error reply.
  Json Request(const std::string& method, const Json& payload = Json::object()) {
    return ResultOf(ServeFrames(method, payload));
  }
  std::string LastRequestId() const { return "id-" + std::to_string(requests_); }

  std::vector<Json> Events() const { return RecordingEvents(output_); }
  std::vector<Json> WaitForEvents(std::size_t count) {
    EXPECT_TRUE(WaitUntil([&] { return Events().size() >= count; }))
        << "only " << Events().size() << " of " << count << " events";
    return Events();
  }
  std::size_t EmergencyStops() const {
    const std::vector<Json> frames = output_.JsonFrames();
    return std::count(frames.begin(), frames.end(), EmergencyStopEvent());
  }
  bool RecordingActive() {
    const auto recording = Service().CurrentRecording();
    return recording && recording->IsActive();
  }

  // The user's input, through the hooks to the applications.
  void Press(std::uint32_t virtualKey, std::uint32_t flags = 0, std::uintptr_t extraInfo = 0) {
    sim_.Input().SendKey(virtualKey, true, flags, extraInfo);
    sim_.Input().SendKey(virtualKey, false, flags, extraInfo);
  }
  void Click(std::int32_t x, std::int32_t y) {
    sim_.Input().SendMouse(platform::kWmLButtonDown, x, y);
    sim_.Input().SendMouse(platform::kWmLButtonUp, x, y);
  }

  EmptyInput input_;
  CapturedOutput output_;
  platform::sim::SimPlatform sim_{input_, output_};
  FrameWriter writer_{output_};
  std::optional<HelperService> service_;
  int requests_ = 0;
  bool shutdownAsked_ = false;
};

}  // namespace velmora::computer_use::testing
