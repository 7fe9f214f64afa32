#include "service/helper_service.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/sim_desktop_test.h"

namespace velmora::computer_use {
namespace {

using testing::EmergencyStopEvent;

const std::string kNotes =
    "exe_path_sha256:e3ab4255821561c70ada41fed02248596d7785ffee39c88ec24227d1cfc37b55";
const std::string kReport =
    "exe_path_sha256:45b41e87b437da2f6da4256acaac1ecece16fcb659ffaf6dc6b2e63c6022d759";
const std::string kEmpty =
    "exe_path_sha256:1e519b78d8fd4a27f71b318bd657a6a682c1068b486109fb1ef6dc15ce296c30";

class ServiceTest : public testing::SimDesktopTest {
 protected:
  // The single response of one request.
  Json RespondOnce(const std::string& method, const Json& payload = Json::object()) {
    const std::vector<Json> frames = ServeFrames(method, payload);
    EXPECT_EQ(frames.size(), 1u) << method;
    return frames.empty() ? Json() : frames.back();
  }
  void ExpectFailure(const std::string& method, const Json& payload, const std::string& code) {
    const Json response = RespondOnce(method, payload);
    EXPECT_EQ(response, Failure(LastRequestId(), code)) << method << " " << payload.dump();
  }
  static Json Failure(const std::string& id, const std::string& code) {
    return Json{{"type", "response"}, {"requestId", id}, {"ok", false}, {"error", code}};
  }
};

// The guard runs first and passes on a safe desktop; then the method, or its payload, is refused.
TEST_F(ServiceTest, RefusedMethodsAndPayloads) {
  const char* failed = "native_helper_request_failed";
  ExpectFailure("observe", Json::object(), failed);
  ExpectFailure("act", Json::object(), failed);
  EXPECT_TRUE(Service().SessionMonitor().IsArmed());
  // The method table is exact and case-sensitive.
  for (const char* method : {"Capabilities", "SHUTDOWN", "record.Stop", "observe ", "act.",
                             "neutralise", "no.such.method"}) {
    ExpectFailure(method, Json::object(), "invalid_request");
  }
  // Wrong JSON types, and a payload that is not an object whatever the method.
  ExpectFailure("record.start", {{"maxDurationSeconds", "5"}}, failed);
  ExpectFailure("neutralize", {{"reason", 7}}, failed);
  ExpectFailure("permission.request", {{"kind", 3}}, failed);
  for (const Json& payload : {Json(), Json::array(), Json("x"), Json(3)}) {
    ExpectFailure("record.stop", payload, failed);
  }
  EXPECT_FALSE(shutdownAsked_);
}

TEST_F(ServiceTest, StateResults) {
  const Json stopped = RespondOnce("record.stop");
  EXPECT_EQ(stopped, (Json{{"type", "response"},
                           {"requestId", LastRequestId()},
                           {"ok", true},
                           {"result", {{"state", "stopped"}}}}));
  for (const char* reason : {"computer_use_action_finished", "computer_use_wait_finished",
                             "Computer_Use_Wait_Finished", "other"}) {
    EXPECT_EQ(RespondOnce("neutralize", {{"reason", reason}})["result"],
              Json({{"state", "neutral"}}));
  }
  EXPECT_EQ(ServeFrames("neutralize", std::nullopt).at(0)["result"], Json({{"state", "neutral"}}));
  EXPECT_FALSE(shutdownAsked_);
  EXPECT_EQ(RespondOnce("shutdown")["result"], Json({{"state", "stopped"}}));
  EXPECT_TRUE(shutdownAsked_);
}

TEST_F(ServiceTest, LockedDesktopRefusesGuardedMethodsAfterOneEmergencyStop) {
  sim_.Sessions().LockSession();
  const std::vector<Json> frames = ServeFrames("observe");
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back() == EmergencyStopEvent() ? frames.front() : frames.back(),
            Failure(LastRequestId(), "secure_desktop_unavailable"));
  // The guard or the monitor thread raises the stop, so the event may also follow the reply.
  ASSERT_TRUE(testing::WaitUntil([&] { return EmergencyStops() == 1; }));

  sim_.Sessions().UnlockSession();
  for (const char* method : {"observe", "act", "record.start", "record.resume"}) {
    ExpectFailure(method, Json::object(), "secure_desktop_unavailable");
  }
  // Unguarded methods still work.
  EXPECT_EQ(RespondOnce("record.stop")["ok"], true);
}

TEST_F(ServiceTest, LockWhileServingIsReportedByTheMonitorThreadOnce) {
  ASSERT_EQ(RespondOnce("observe")["error"], "native_helper_request_failed");
  sim_.Sessions().LockSession();
  ASSERT_TRUE(testing::WaitUntil([&] { return output_.JsonFrames().size() == 2; }));
  EXPECT_EQ(output_.JsonFrames().back(), EmergencyStopEvent());
  sim_.Sessions().UnlockSession();
  sim_.Sessions().LockSession();
  EXPECT_EQ(RespondOnce("observe")["error"], "secure_desktop_unavailable");
  EXPECT_EQ(EmergencyStops(), 1u);
}

TEST_F(ServiceTest, FailedWriteOfTheErrorReplyEscapes) {
  output_.Break();
  Json frame{{"type", "request"}, {"requestId", "x"}, {"method", "nope"}};
  EXPECT_THROW(Service().ServeRequest(CheckRequestEnvelope(frame), frame), ProtocolError);
  Json shutdown{{"type", "request"}, {"requestId", "y"}, {"method", "shutdown"}};
  EXPECT_THROW(Service().ServeRequest(CheckRequestEnvelope(shutdown), shutdown), ProtocolError);
}

TEST_F(ServiceTest, InteractionMonitorStopsWithTheWorkAndEscapeStopsEverything) {
  InteractionMonitor& monitor = Service().Interactions();
  sim_.System().SetManualTicks(1'000'000);
  const platform::WindowHandle window = sim_.Windows().AddWindow(7, u"Editor");
  monitor.GetInteractionRecord(window);
  // Kept when an action or wait finished normally, stopped otherwise and on failures.
  RespondOnce("neutralize", {{"reason", "computer_use_wait_finished"}});
  EXPECT_TRUE(monitor.IsRunning());
  RespondOnce("neutralize", {{"reason", "other"}});
  EXPECT_FALSE(monitor.IsRunning());
  monitor.GetInteractionRecord(window);
  ExpectFailure("record.pause", Json::object(), "native_helper_request_failed");
  EXPECT_FALSE(monitor.IsRunning());

  monitor.GetInteractionRecord(window);
  // The helper still holds the modifiers of an interrupted chord when the user holds Escape.
  int steps = 0;
  EXPECT_FALSE(
      Service().Input().Act({{"kind", "key"}, {"key", "B"}, {"modifiers", {"shift", "alt"}}},
                            nullptr, std::nullopt, true, [&] { return ++steps <= 3; }));
  ASSERT_EQ(Service().Input().HeldKeys().size(), 2u);
  sim_.MessageLoops().DeliverKeyboardEvent({platform::kWmKeyDown, platform::kVkEscape, 0, 0});
  sim_.System().AdvanceTicks(kEscapeHoldMs);
  ASSERT_TRUE(testing::WaitUntil([&] { return output_.JsonFrames().size() == 4; }));
  EXPECT_EQ(output_.JsonFrames().back(), EmergencyStopEvent());
  EXPECT_TRUE(Service().Input().HeldKeys().empty());
  ASSERT_TRUE(testing::WaitUntil([&] { return sim_.MessageLoops().InputHookCount() == 0; }));
  // Requests are served again; the next observation starts the monitor afresh.
  EXPECT_EQ(RespondOnce("record.stop")["ok"], true);
  monitor.GetInteractionRecord(window);
  EXPECT_TRUE(monitor.IsRunning());
}

TEST_F(ServiceTest, StopAllOnThreeThreadsAtOnce) {
  const platform::WindowHandle window = sim_.Windows().AddWindow(7, u"Editor");
  HelperService& service = Service();  // made before the threads share it
  std::vector<std::thread> threads;
  threads.reserve(3);
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&service] {
      for (int k = 0; k < 200; ++k) service.StopAll(k % 2 == 0);
    });
  }
  // Observations restart the monitor meanwhile.
  threads.emplace_back([&] {
    for (int k = 0; k < 50; ++k) service.Interactions().GetInteractionRecord(window);
  });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(RespondOnce("record.stop")["ok"], true);
}

TEST_F(ServiceTest, ApplicationScopeSelectsListsAndObserves) {
  Scene("default");
  const platform::WindowHandle foreground = sim_.Windows().ForegroundWindow();
  ASSERT_EQ(RespondOnce("observe", {{"scope", "foreground"}})["ok"], true);
  EXPECT_EQ(Service().LastObservedWindow(), foreground);

  // A window list changes nothing.
  const Json choose = Request("observe", {{"scope", "application"}, {"appIdentity", kNotes}});
  EXPECT_EQ(Service().Observer().GetObservedWindow(), foreground);
  EXPECT_EQ(Service().LastObservedWindow(), foreground);
  EXPECT_EQ(choose["state"], "window_selection_required");
  EXPECT_EQ(choose["windowSelectionRequired"], true);
  EXPECT_EQ(choose["scope"], "application");
  EXPECT_EQ(choose["foreground"], (Json{{"appIdentity", kNotes}, {"windowIdentity", ""}}));
  EXPECT_EQ(choose["targets"], Json::array());
  EXPECT_EQ(choose["id"].get<std::string>().size(), 38u);
  ASSERT_EQ(choose["windows"].size(), 3u);
  std::string lines;
  for (const Json& window : choose["windows"]) {
    EXPECT_EQ(window["appIdentity"], kNotes);
    EXPECT_EQ(window["isForeground"], false);
    lines += window["windowIdentity"].get<std::string>() + "\n";
  }
  EXPECT_EQ(choose["stateHash"], lines);

  // A window of no size becomes the current observation before its bounds refuse it.
  ExpectFailure("observe", {{"scope", "application"}, {"appIdentity", kEmpty}},
                "native_helper_request_failed");
  EXPECT_NE(Service().Observer().GetObservedWindow(), foreground);
  EXPECT_EQ(Service().LastObservedWindow(), Service().Observer().GetObservedWindow());

  // Naming one observes it and lists it first.
  const Json chosen = choose["windows"][1];
  const Json observed = Request("observe", {{"scope", "application"},
                                            {"appIdentity", kNotes},
                                            {"windowIdentity", chosen["windowIdentity"]}});
  EXPECT_EQ(observed["foreground"]["windowIdentity"], chosen["windowIdentity"]);
  EXPECT_EQ(observed["foreground"]["windowTitle"], chosen["windowTitle"]);
  ASSERT_EQ(observed["windows"].size(), 3u);
  EXPECT_EQ(observed["windows"][0], chosen);
  EXPECT_EQ(observed["targets"].size(), 2u);

  // Listing one window still answers with the list; activation skips the elements.
  const Json listed = Request(
      "observe", {{"scope", "application"}, {"appIdentity", kReport}, {"purpose", "list_windows"}});
  EXPECT_EQ(listed["windows"].size(), 1u);
  EXPECT_EQ(listed["state"], "window_selection_required");
  const Json activation = Request(
      "observe", {{"scope", "application"}, {"appIdentity", kReport}, {"activationOnly", true}});
  EXPECT_EQ(activation["targets"], Json::array());
  EXPECT_EQ(activation["targetsTruncated"], false);
  for (const char* key : {"id", "stateHash", "interaction", "windowBounds"}) {
    EXPECT_TRUE(activation.contains(key)) << key;
  }

  // Without the hooks there is no interaction record, so no observation is answered.
  Service().StopAll(false);
  sim_.MessageLoops().FailSetup(platform::sim::SetupFailure::kMouseHook);
  ExpectFailure("observe", {{"scope", "foreground"}}, "permission_missing");
}

// Refused before anything is observed, or failed on the window observed, on the default scene.
TEST_F(ServiceTest, ObserveRefusalsAndFailures) {
  Scene("default");
  const std::string frozen =
      "exe_path_sha256:f6ad9c9525989b7be15ff8d6e4f22dfeeb6ad301cff5911a113df67cd8dfd9fa";
  const std::string resizing =
      "exe_path_sha256:cbf0913d5927acc3c5feff027d6b06649e34caf64544be12425f3410927dfd94";
  const std::pair<Json, const char*> cases[] = {
      {Json::object(), "native_helper_request_failed"},
      {{{"scope", "window"}}, "native_helper_request_failed"},
      {{{"scope", "foreground"}, {"purpose", "list_windows"}}, "invalid_request"},
      {{{"scope", "application"},
        {"appIdentity", kReport},
        {"activationOnly", true},
        {"allowVisual", true}},
       "invalid_request"},
      {{{"scope", "application"}}, "invalid_request"},
      {{{"scope", "application"}, {"appIdentity", "exe_path_sha256:00"}}, "app_not_found"},
      {{{"scope", "application"}, {"appIdentity", frozen}, {"allowVisual", true}},
       "capability_unavailable"},
      {{{"scope", "application"}, {"appIdentity", resizing}, {"allowVisual", true}},
       "stale_observation"},
  };
  for (const auto& [payload, code] : cases) ExpectFailure("observe", payload, code);
}

// What the desktop of each scene lacks, as "capabilities" and "permissions" tell it.
class ServiceSceneTest : public ServiceTest,
                         public ::testing::WithParamInterface<std::pair<const char*, Json>> {};

TEST_P(ServiceSceneTest, CapabilitiesAndPermissionsFollowTheDesktop) {
  const auto& [scene, limitations] = GetParam();
  Scene(scene);
  const Json result = Request("capabilities");
  EXPECT_EQ(result["platform"], "windows");
  EXPECT_EQ(result["limitations"], limitations);
  const bool capture = std::string(scene) != "no_capture";
  for (const char* feature : {"globalRecording", "semanticObservation", "semanticAction",
                              "interactionMonitoring", "localOcr", "visualCapture"}) {
    EXPECT_EQ(result[feature], capture || std::string(feature) != "visualCapture") << feature;
  }
  Json permissions = Json::parse(R"([{"kind":"accessibility","status":"granted","required":true},
                                  {"kind":"input_monitoring","status":"granted","required":true},
                                  {"kind":"post_event","status":"granted","required":true},
                                  {"kind":"screen_capture","status":"granted","required":false}])");
  if (!capture) permissions[3]["status"] = "unavailable";
  EXPECT_EQ(Request("permissions")["permissions"], permissions);
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, ServiceSceneTest,
    ::testing::Values(std::pair{"default", Json::array()},
                      std::pair{"elevated_foreground", Json::array({"uipi_blocked"})},
                      std::pair{"locked", Json::array({"secure_desktop_unavailable"})},
                      std::pair{"no_capture", Json::array()}));

TEST_F(ServiceTest, PermissionsAndTheirRequests) {
  Scene("default");
  const std::pair<std::optional<Json>, const char*> cases[] = {
      {Json{{"kind", "post_event"}}, "granted"},
      {Json{{"kind", "screen_capture"}}, "granted"},
      {Json{{"kind", "Post_event"}}, "unavailable"},
      {Json::object(), "unavailable"},
      {std::nullopt, "unavailable"},
  };
  for (const auto& [payload, answer] : cases) {
    EXPECT_EQ(ServeFrames("permission.request", payload).at(0)["result"],
              (Json{{"result", answer}}))
        << payload.value_or("no payload");
  }
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
