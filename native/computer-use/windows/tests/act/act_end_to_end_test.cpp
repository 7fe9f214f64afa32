// "act" where the process matters: heartbeats during a wait, and the user played through the
// real helper's channel as it holds Escape or locks the session.
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

class ActEndToEndTest : public testing::SimUserSession {
 protected:
  void Observe() {
    observation_ = client_->Request("observe", {{"scope", "foreground"}})["result"];
  }
  // A wait on the observed window that never holds; the user's command, if any, is played while
  // it runs.
  json Wait(int timeoutMs, const std::string& userCommand = "") {
    std::thread user;
    if (!userCommand.empty()) {
      user = std::thread([this, userCommand] { EXPECT_EQ(user_->Command(userCommand), "ok"); });
    }
    const json action{{"kind", "wait"},
                      {"timeoutMs", timeoutMs},
                      {"assertion", {{"kind", "text_matches"}, {"pattern", "never"}}}};
    const json reply = client_->Request(
        "act",
        {{"action", action}, {"context", testing::ActContext(observation_, "", ++sequence_)}},
        std::chrono::seconds(70));
    if (user.joinable()) user.join();
    return reply.value("ok", false) ? reply["result"] : reply;
  }
  json observation_;
  int sequence_ = 0;
};

// What only the process shows: heartbeats while a wait runs, and the user's lock through the
// channel ending a minute-long wait with one emergency stop.
TEST_F(ActEndToEndTest, WaitsKeepTheHeartbeatAndEndWhenTheSessionLocks) {
  Observe();
  const std::size_t before = client_->FrameCount();
  EXPECT_EQ(Wait(2500), json({{"ok", false}, {"executionState", "not_started"}}));
  const std::vector<client::ClientFrame> frames = client_->Frames();
  EXPECT_TRUE(std::any_of(frames.begin() + static_cast<std::ptrdiff_t>(before), frames.end(),
                          [](const client::ClientFrame& frame) {
                            return frame.json.value("type", "") == "heartbeat";
                          }));

  Observe();
  const auto start = steady_clock::now();
  EXPECT_EQ(Wait(60000, "lock")["error"], "secure_desktop_unavailable");
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(10));
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
