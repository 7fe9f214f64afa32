// "act" through the real Linux helper, with the user played through its channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "helper_client.h"
#include "support/act_context.h"
#include "support/sim_user_session.h"

namespace velmora::computer_use {
namespace {

using json = nlohmann::json;

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr char kSettings[] =
    "exe_path_sha256:3d91ad2756bfe69871995ab990edfe451ab6266fa07e95630bf49b80dedb4efd";
constexpr char kNotes[] =
    "exe_path_sha256:e3ab4255821561c70ada41fed02248596d7785ffee39c88ec24227d1cfc37b55";

class ActEndToEndTest : public testing::SimUserSession {
 protected:
  json Observe(const json& payload = {{"scope", "foreground"}}) {
    observation_ = client_->Request("observe", payload)["result"];
    return observation_;
  }
  bool Shows(const std::string& name) {
    const json seen = Observe();
    for (const json& node : seen["targets"]) {
      if (node.value("name", "") == name) return true;
    }
    return false;
  }
  // The reply's result, or the error reply itself.
  json Act(const json& action, const std::string& name) {
    std::string target = "uia:none";
    for (const json& node : observation_["targets"]) {
      if (node.value("name", "") == name) target = node["id"];
    }
    const json context = testing::ActContext(observation_, target, ++sequence_, "e2e");
    const json reply = client_->Request("act", {{"action", action}, {"context", context}},
                                        std::chrono::seconds(70));
    return reply.value("ok", false) ? reply["result"] : reply;
  }
  // A wait on the observed window; the user's command, if any, is played while it runs.
  json Wait(const json& assertion, int timeoutMs, const std::string& userCommand = "") {
    const json& window = observation_["foreground"];
    const std::string identity = window["appIdentity"].get<std::string>() + ":" +
                                 window["windowIdentity"].get<std::string>();
    std::thread user;
    if (!userCommand.empty()) {
      user = std::thread([this, userCommand] { EXPECT_EQ(user_->Command(userCommand), "ok"); });
    }
    const json context = testing::ActContext(observation_, identity, ++sequence_, "e2e");
    const json action{{"kind", "wait"}, {"timeoutMs", timeoutMs}, {"assertion", assertion}};
    const json reply = client_->Request("act", {{"action", action}, {"context", context}},
                                        std::chrono::seconds(70));
    if (user.joinable()) user.join();
    return reply.value("ok", false) ? reply["result"] : reply;
  }
  json observation_;
  int sequence_ = 0;
};

TEST_F(ActEndToEndTest, TypesClicksAndActsInTheBackground) {
  Observe();
  EXPECT_EQ(Act({{"kind", "type"}, {"text", "hello"}}, "Message"), json({{"ok", true}}));
  EXPECT_EQ(Act({{"kind", "click"}}, "Send"), json({{"ok", true}}));
  EXPECT_TRUE(Shows("Sent: hello"));

  Observe({{"scope", "application"}, {"appIdentity", kSettings}});
  EXPECT_EQ(Act({{"kind", "click"}}, "Apply"), json({{"ok", true}}));
  // Applied in the background: the foreground is still the demo.
  EXPECT_TRUE(Shows("Sent: hello"));
  Observe({{"scope", "application"}, {"appIdentity", kSettings}});
  EXPECT_NE(observation_.dump().find("\"Applied\""), std::string::npos);
}

TEST_F(ActEndToEndTest, TheUsersClickAfterTheObservationRefusesTheAction) {
  Observe();
  EXPECT_EQ(user_->Command("click 400 500"), "ok");
  EXPECT_EQ(
      Act({{"kind", "click"}}, "Send"),
      json({{"ok", false}, {"errorCode", "user_interference"}, {"executionState", "not_started"}}));
  EXPECT_EQ(user_->Command("lock"), "ok");
  EXPECT_EQ(client_->Request("act", {{"action", json::object()}, {"context", json::object()}})
                .value("error", ""),
            "secure_desktop_unavailable");
}

TEST_F(ActEndToEndTest, ActivatesAnApplicationOrOneOfItsWindows) {
  const auto activate = [&](json fields) {
    Observe();
    fields["kind"] = "activate_app";
    return Act(fields, "Message");
  };
  EXPECT_EQ(activate({{"appIdentity", kSettings}})["activation"]["stage"], "activated");
  EXPECT_EQ(Observe()["foreground"]["windowTitle"], "Settings");
  EXPECT_EQ(activate({{"appIdentity", kNotes}})["errorCode"], "target_ambiguous");
  EXPECT_EQ(activate({{"appIdentity", "exe_path_sha256:00"}})["errorCode"], "app_not_found");

  const json choose =
      client_->Request("observe", {{"scope", "application"}, {"appIdentity", kNotes}})["result"];
  ASSERT_EQ(choose["windows"].size(), 3u);
  const json& second = choose["windows"][1];
  EXPECT_EQ(activate({{"appIdentity", kNotes}, {"windowIdentity", second["windowIdentity"]}})["ok"],
            true);
  EXPECT_EQ(Observe()["foreground"]["windowTitle"], second["windowTitle"]);
}

TEST_F(ActEndToEndTest, WaitsHoldFailOrEndWhenTheUserStepsIn) {
  const json held{{"ok", true}, {"executionState", "not_started"}};
  const json interference{
      {"ok", false}, {"errorCode", "user_interference"}, {"executionState", "not_started"}};
  Observe();
  EXPECT_EQ(
      Wait({{"kind", "target_exists"}, {"target", {{"role", "BUTTON"}, {"name", "Send"}}}}, 100),
      held);
  // Once the helper's own click has changed the window.
  Observe();
  EXPECT_EQ(Act({{"kind", "type"}, {"text", "later"}}, "Message"), json({{"ok", true}}));
  EXPECT_EQ(Act({{"kind", "click"}}, "Send"), json({{"ok", true}}));
  EXPECT_EQ(Wait({{"kind", "text_matches"}, {"pattern", "sent: LATER"}}, 5000), held);

  // Never holds: runs its time-out while heartbeats keep flowing.
  Observe();
  const std::size_t before = client_->FrameCount();
  EXPECT_EQ(Wait({{"kind", "text_matches"}, {"pattern", "never"}}, 2500),
            json({{"ok", false}, {"executionState", "not_started"}}));
  const std::vector<client::ClientFrame> frames = client_->Frames();
  EXPECT_TRUE(std::any_of(frames.begin() + static_cast<std::ptrdiff_t>(before), frames.end(),
                          [](const client::ClientFrame& frame) {
                            return frame.json.value("type", "") == "heartbeat";
                          }));

  // The user's click in the window ends a minute-long wait (or refuses it, if it came first).
  Observe();
  const auto start = steady_clock::now();
  EXPECT_EQ(Wait({{"kind", "text_matches"}, {"pattern", "never"}}, 60000, "click 400 500"),
            interference);
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(10));
  // Locking the session ends one as well, for good.
  Observe();
  EXPECT_EQ(Wait({{"kind", "text_matches"}, {"pattern", "never"}}, 60000, "lock")["error"],
            "secure_desktop_unavailable");
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_TRUE(testing::EmergencyStopArrives(*client_));
  EXPECT_EQ(testing::EmergencyStopCount(*client_), 1u);
}

TEST_F(ActEndToEndTest, EscapeMustBeHeldTwoSeconds) {
  Observe();  // starts the interaction monitor
  const auto down = steady_clock::now();
  EXPECT_EQ(user_->Command("key-down Escape"), "ok");
  std::this_thread::sleep_until(down + milliseconds(1900));  // the user's hold
  EXPECT_EQ(user_->Command("key-up Escape"), "ok");
  // The helper saw at most this much of the hold: the premise of the test.
  ASSERT_LT(steady_clock::now() - down, milliseconds(2000)) << "the key-up came too late";
  const auto pressed = steady_clock::now();
  EXPECT_EQ(user_->Command("key-down Escape"), "ok");
  // A stop counted from the first press would come about 0.1 s into the second.
  EXPECT_TRUE(testing::EmergencyStopArrives(*client_));
  EXPECT_GE(steady_clock::now() - pressed, milliseconds(1900));
  EXPECT_EQ(user_->Command("key-up Escape"), "ok");
  EXPECT_EQ(testing::EmergencyStopCount(*client_), 1u);
}

}  // namespace
}  // namespace velmora::computer_use
