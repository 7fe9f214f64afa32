#include "service/helper_service.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/sim/sim_platform.h"
#include "support/test_support.h"

namespace velmora::computer_use {
namespace {

using testing::EmergencyStopEvent;

class ServiceTest : public ::testing::Test {
 protected:
  // Serves one request and answers the frames it wrote.
  std::vector<Json> Serve(const std::string& method, const Json& payload = Json::object(),
                          bool withPayload = true) {
    Json frame{
        {"type", "request"}, {"requestId", "id-" + std::to_string(++nextId_)}, {"method", method}};
    if (withPayload) frame["payload"] = payload;
    const std::size_t before = output_.JsonFrames().size();
    lastShutdown_ = service_.ServeRequest(CheckRequestEnvelope(frame), frame);
    std::vector<Json> frames = output_.JsonFrames();
    frames.erase(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(before));
    return frames;
  }

  // The single response of one request.
  Json Respond(const std::string& method, const Json& payload = Json::object()) {
    const std::vector<Json> frames = Serve(method, payload);
    EXPECT_EQ(frames.size(), 1u) << method;
    return frames.empty() ? Json() : frames.back();
  }

  void ExpectFailure(const std::string& method, const Json& payload, const std::string& code) {
    const Json response = Respond(method, payload);
    EXPECT_EQ(response, Failure(LastId(), code)) << method << " " << payload.dump();
  }

  static Json Failure(const std::string& id, const std::string& code) {
    return Json{{"type", "response"}, {"requestId", id}, {"ok", false}, {"error", code}};
  }
  std::string LastId() const { return "id-" + std::to_string(nextId_); }

  testing::EmptyInput input_;
  testing::CapturedOutput output_;
  platform::sim::SimPlatform sim_{input_, output_};
  FrameWriter writer_{output_};
  HelperService service_{sim_.Get(), writer_};
  int nextId_ = 0;
  bool lastShutdown_ = false;
};

TEST_F(ServiceTest, MethodTableIsExactAndCaseSensitive) {
  for (const char* method : {"Capabilities", "SHUTDOWN", "record.Stop", "observe ", "act.",
                             "neutralise", "no.such.method"}) {
    ExpectFailure(method, Json::object(), "invalid_request");
  }
  EXPECT_FALSE(lastShutdown_);
}

TEST_F(ServiceTest, StateResults) {
  const Json stopped = Respond("record.stop");
  EXPECT_EQ(stopped, (Json{{"type", "response"},
                           {"requestId", LastId()},
                           {"ok", true},
                           {"result", {{"state", "stopped"}}}}));
  for (const char* reason : {"computer_use_action_finished", "computer_use_wait_finished",
                             "Computer_Use_Wait_Finished", "other"}) {
    EXPECT_EQ(Respond("neutralize", {{"reason", reason}})["result"], Json({{"state", "neutral"}}));
  }
  EXPECT_EQ(Serve("neutralize", {}, /*withPayload=*/false).at(0)["result"],
            Json({{"state", "neutral"}}));
  EXPECT_FALSE(lastShutdown_);
  EXPECT_EQ(Respond("shutdown")["result"], Json({{"state", "stopped"}}));
  EXPECT_TRUE(lastShutdown_);
}

TEST_F(ServiceTest, WrongJsonTypesGiveTheGenericFailure) {
  ExpectFailure("record.start", {{"maxDurationSeconds", "5"}}, "native_helper_request_failed");
  ExpectFailure("neutralize", {{"reason", 7}}, "native_helper_request_failed");
  // A payload that is not an object fails whatever the method.
  for (const Json& payload : {Json(), Json::array(), Json("x"), Json(3)}) {
    ExpectFailure("record.stop", payload, "native_helper_request_failed");
  }
}

TEST_F(ServiceTest, GuardedMethodsPassTheGuardOnASafeDesktop) {
  // The guard ran first and passed; the payloads are what fails.
  ExpectFailure("observe", Json::object(), "native_helper_request_failed");
  ExpectFailure("act", Json::object(), "native_helper_request_failed");
  EXPECT_TRUE(service_.SessionMonitor().IsArmed());
}

TEST_F(ServiceTest, LockedDesktopRefusesGuardedMethodsAfterOneEmergencyStop) {
  sim_.Sessions().LockSession();
  const std::vector<Json> frames = Serve("observe");
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back() == EmergencyStopEvent() ? frames.front() : frames.back(),
            Failure(LastId(), "secure_desktop_unavailable"));
  // The guard or the monitor thread raises the stop, so the event may also follow the reply.
  ASSERT_TRUE(testing::WaitUntil([&] {
    const std::vector<Json> all = output_.JsonFrames();
    return std::count(all.begin(), all.end(), EmergencyStopEvent()) == 1;
  }));

  sim_.Sessions().UnlockSession();
  for (const char* method : {"observe", "act", "record.start", "record.resume"}) {
    ExpectFailure(method, Json::object(), "secure_desktop_unavailable");
  }
  // Unguarded methods still work.
  EXPECT_EQ(Respond("record.stop")["ok"], true);
}

TEST_F(ServiceTest, LockWhileServingIsReportedByTheMonitorThreadOnce) {
  ASSERT_EQ(Respond("observe")["error"], "native_helper_request_failed");
  sim_.Sessions().LockSession();
  ASSERT_TRUE(testing::WaitUntil([&] { return output_.JsonFrames().size() == 2; }));
  EXPECT_EQ(output_.JsonFrames().back(), EmergencyStopEvent());
  sim_.Sessions().UnlockSession();
  sim_.Sessions().LockSession();
  EXPECT_EQ(Respond("observe")["error"], "secure_desktop_unavailable");
  const std::vector<Json> frames = output_.JsonFrames();
  EXPECT_EQ(std::count(frames.begin(), frames.end(), EmergencyStopEvent()), 1);
}

TEST_F(ServiceTest, FailedWriteOfTheErrorReplyEscapes) {
  output_.Break();
  Json frame{{"type", "request"}, {"requestId", "x"}, {"method", "nope"}};
  EXPECT_THROW(service_.ServeRequest(CheckRequestEnvelope(frame), frame), ProtocolError);
  Json shutdown{{"type", "request"}, {"requestId", "y"}, {"method", "shutdown"}};
  EXPECT_THROW(service_.ServeRequest(CheckRequestEnvelope(shutdown), shutdown), ProtocolError);
}

TEST_F(ServiceTest, InteractionMonitorStopsWithTheWorkAndEscapeStopsEverything) {
  sim_.System().SetManualTicks(1'000'000);
  const platform::WindowHandle window = sim_.Windows().AddWindow(7, u"Editor");
  InteractionMonitor& monitor = service_.Interactions();
  monitor.GetInteractionRecord(window);
  // Kept when an action or wait finished normally, stopped otherwise and on failures.
  Respond("neutralize", {{"reason", "computer_use_wait_finished"}});
  EXPECT_TRUE(monitor.IsRunning());
  Respond("neutralize", {{"reason", "other"}});
  EXPECT_FALSE(monitor.IsRunning());
  monitor.GetInteractionRecord(window);
  ExpectFailure("record.pause", Json::object(), "native_helper_request_failed");
  EXPECT_FALSE(monitor.IsRunning());

  monitor.GetInteractionRecord(window);
  // The helper still holds the modifiers of an interrupted chord when the user holds Escape.
  int steps = 0;
  EXPECT_FALSE(
      service_.Input().Act({{"kind", "key"}, {"key", "B"}, {"modifiers", {"shift", "alt"}}},
                           nullptr, std::nullopt, true, [&] { return ++steps <= 3; }));
  ASSERT_EQ(service_.Input().HeldKeys().size(), 2u);
  sim_.MessageLoops().DeliverKeyboardEvent({platform::kWmKeyDown, platform::kVkEscape, 0, 0});
  sim_.System().AdvanceTicks(kEscapeHoldMs);
  ASSERT_TRUE(testing::WaitUntil([&] { return output_.JsonFrames().size() == 4; }));
  EXPECT_EQ(output_.JsonFrames().back(), EmergencyStopEvent());
  EXPECT_TRUE(service_.Input().HeldKeys().empty());
  ASSERT_TRUE(testing::WaitUntil([&] { return sim_.MessageLoops().InputHookCount() == 0; }));
  // Requests are served again; the next observation starts the monitor afresh.
  EXPECT_EQ(Respond("record.stop")["ok"], true);
  monitor.GetInteractionRecord(window);
  EXPECT_TRUE(monitor.IsRunning());
}

TEST_F(ServiceTest, ObservationStateAcrossAnswers) {
  ASSERT_TRUE(platform::sim::ApplyScene(sim_, "default", 77));
  const platform::WindowHandle foreground = sim_.Windows().ForegroundWindow();
  ASSERT_EQ(Respond("observe", {{"scope", "foreground"}})["ok"], true);
  EXPECT_EQ(service_.LastObservedWindow(), foreground);

  // A window list changes nothing.
  const std::string notes =
      "exe_path_sha256:e3ab4255821561c70ada41fed02248596d7785ffee39c88ec24227d1cfc37b55";
  EXPECT_EQ(
      Respond("observe", {{"scope", "application"}, {"appIdentity", notes}})["result"]["state"],
      "window_selection_required");
  EXPECT_EQ(service_.Observer().GetObservedWindow(), foreground);
  EXPECT_EQ(service_.LastObservedWindow(), foreground);

  // A window of no size becomes the current observation before its bounds refuse it.
  const std::string empty =
      "exe_path_sha256:1e519b78d8fd4a27f71b318bd657a6a682c1068b486109fb1ef6dc15ce296c30";
  ExpectFailure("observe", {{"scope", "application"}, {"appIdentity", empty}},
                "native_helper_request_failed");
  EXPECT_NE(service_.Observer().GetObservedWindow(), foreground);
  EXPECT_EQ(service_.LastObservedWindow(), service_.Observer().GetObservedWindow());

  // Without the hooks there is no interaction record, so no observation is answered.
  service_.StopAll(false);
  sim_.MessageLoops().FailSetup(platform::sim::SetupFailure::kMouseHook);
  ExpectFailure("observe", {{"scope", "foreground"}}, "permission_missing");
}

TEST_F(ServiceTest, StopAllOnThreeThreadsAtOnce) {
  const platform::WindowHandle window = sim_.Windows().AddWindow(7, u"Editor");
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([this] {
      for (int k = 0; k < 200; ++k) service_.StopAll(k % 2 == 0);
    });
  }
  // Observations restart the monitor meanwhile.
  threads.emplace_back([&] {
    for (int k = 0; k < 50; ++k) service_.Interactions().GetInteractionRecord(window);
  });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(Respond("record.stop")["ok"], true);
}

TEST(RecordingDuration, TruncatedAndClamped) {
  const std::pair<double, int> cases[] = {{0, 1},       {-5, 1},      {0.5, 1},       {1, 1},
                                          {2.7, 2},     {1800, 1800}, {1800.5, 1800}, {1801, 1800},
                                          {1e12, 1800}, {-1e12, 1},   {59.999, 59}};
  for (const auto& [seconds, expected] : cases) {
    EXPECT_EQ(ClampRecordingDuration(seconds), expected) << seconds;
  }
}

}  // namespace
}  // namespace velmora::computer_use
