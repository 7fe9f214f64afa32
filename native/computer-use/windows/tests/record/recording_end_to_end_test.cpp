// A recording through the real Linux helper while the simulated user types, clicks and enters a
// password: the parent reads the events in the order of the input, and the password in none of
// its frames.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "helper_client.h"
#include "support/sim_user_session.h"

namespace velmora::computer_use {
namespace {

using client::ClientFrame;
using json = nlohmann::json;

constexpr char kCanary[] = "Canary7!";

class RecordingEndToEndTest : public testing::SimUserSession {
 protected:
  std::vector<json> Events() const {
    std::vector<json> events;
    for (const ClientFrame& frame : client_->Frames()) {
      if (frame.json.value("type", "") == "event" && frame.json["event"].contains("kind")) {
        events.push_back(frame.json["event"]);
      }
    }
    return events;
  }
  // Plays the command, then waits until the recording has told of it.
  void Do(const std::string& command, const std::string& kind) {
    const std::size_t before = client_->FrameCount();
    ASSERT_EQ(user_->Command(command), "ok") << command;
    const auto told = client_->WaitFor(
        [&](const ClientFrame& frame) {
          return frame.json.value("type", "") == "event" &&
                 frame.json["event"].value("kind", "") == kind;
        },
        std::chrono::seconds(5), before);
    ASSERT_TRUE(told) << command << " gave no " << kind;
  }
};

TEST_F(RecordingEndToEndTest, EventsInOrderAndNoPasswordInAnyFrame) {
  EXPECT_EQ(client_->Request("record.start", {{"maxDurationSeconds", 60}})["result"]["state"],
            "recording");
  Do("focus Message", "window.changed");
  Do("press H", "keyboard.text");
  Do("press I", "keyboard.text");
  Do("click 1600 980", "mouse.click");
  Do("focus Password", "window.changed");
  Do(std::string("type ") + kCanary, "secure_input_occurred");
  Do("press Tab", "window.changed");
  EXPECT_EQ(client_->Request("record.stop")["result"]["state"], "stopped");

  std::vector<std::string> typed;
  std::size_t secure = 0;
  for (const json& event : Events()) {
    if (event.contains("text")) typed.push_back(event["text"]);
    if (event["kind"] == "secure_input_occurred") {
      ++secure;
      EXPECT_FALSE(event.contains("text")) << event.dump();
      EXPECT_EQ(event["target"]["secure"], true) << event.dump();
    }
  }
  EXPECT_EQ(Events().front()["kind"], "session.started");
  EXPECT_EQ(typed, (std::vector<std::string>{"h", "i"}));
  EXPECT_GE(secure, std::string(kCanary).size());
  for (const ClientFrame& frame : client_->Frames()) {
    const std::string text = frame.json.dump();
    for (const char* part : {"Canary", "anary7", "y7!"}) {
      EXPECT_EQ(text.find(part), std::string::npos) << text;
    }
  }
}

}  // namespace
}  // namespace velmora::computer_use
