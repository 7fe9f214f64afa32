// Recording through the service on the simulated desktop's default scene: the events each input
// makes, what is withheld from a password field, the record methods, the ways a recording ends,
// and the user's input never waiting for the recorder.
#include <gtest/gtest.h>

#include <chrono>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/own_input.h"
#include "platform/sim/sim_keyboard_layout.h"
#include "record/recording_events.h"
#include "support/sim_desktop_test.h"

namespace velmora::computer_use {
namespace {

using platform::kVkControl;
using platform::kVkShift;
using platform::kVkTab;

// 2026-01-01, the simulated desktop's fixed clock.
constexpr double kSceneTime = 1767225600000;

class RecordingTest : public testing::SimDesktopTest {
 protected:
  void SetUp() override {
    Scene("default");
    sim_.System().SetManualTicks(1'000'000);
  }
};

TEST_F(RecordingTest, EachInputBecomesItsEvent) {
  EXPECT_EQ(Request("record.start"), Json({{"state", "recording"}}));
  const Json started = WaitForEvents(1)[0];
  EXPECT_EQ(started["kind"], "session.started");
  EXPECT_EQ(started["timestamp"], kSceneTime);
  EXPECT_EQ(started["app"]["name"], "Velmora.exe");
  EXPECT_EQ(started["window"]["title"], "Velmora Demo");
  EXPECT_EQ(started.size(), 4u);

  // At a person's pace: each key's event is out before the next input that may move the focus
  // (a key being typed into a field that loses the focus meanwhile is withheld, see below).
  Press('A');
  sim_.Input().SendKey(kVkShift, true);
  Press('B');
  sim_.Input().SendKey(kVkShift, false);
  WaitForEvents(4);
  sim_.Input().SendKey(kVkControl, true);
  WaitForEvents(5);
  Press('C');
  sim_.Input().SendKey(kVkControl, false);
  WaitForEvents(6);
  // Injected by another program or by the helper itself: never recorded.
  Press('D', platform::kLlkhfInjected);
  Press('E', 0, kOwnInputMarker);
  sim_.Input().SendMouse(platform::kWmMouseWheel, 800, 980, 0, 0, -120);
  Click(1900, 750);  // the recording controller's own window: nothing, not even its activation
  Click(1600, 980);
  const platform::WindowHandle settings = sim_.Windows().FindTopLevelWindow(u"Settings");
  sim_.Input().ActivateWindow(settings);
  // A selection changes: never its content.
  sim_.MessageLoops().RaiseWinEvent(platform::kEventObjectSelection, settings, -4, 3);

  const std::vector<std::string> kinds = {
      "session.started", "keyboard.text", "keyboard.text",  "keyboard.text",    "keyboard.key",
      "keyboard.key",    "mouse.scroll",  "mouse.click",    "app.activated",    "window.changed",
      "window.changed",  "app.activated", "window.changed", "selection.changed"};
  const std::vector<Json> events = WaitForEvents(kinds.size());
  ASSERT_EQ(events.size(), kinds.size());
  for (std::size_t i = 0; i < kinds.size(); ++i) EXPECT_EQ(events[i]["kind"], kinds[i]) << i;

  EXPECT_EQ(events[1]["text"], "a");
  EXPECT_EQ(events[1]["key"], "A");
  EXPECT_FALSE(events[1].contains("modifiers"));
  EXPECT_EQ(events[1]["target"]["name"], "Message");
  EXPECT_EQ(events[1]["target"]["kind"], "accessibility");
  EXPECT_EQ(events[1]["target"]["bounds"]["width"], 1380);
  EXPECT_EQ(events[3]["text"], "B");  // after the Shift key itself
  EXPECT_EQ(events[3]["modifiers"], Json::array({"Shift"}));
  EXPECT_EQ(events[5]["key"], "C");
  EXPECT_EQ(events[5]["modifiers"], Json::array({"Control"}));
  EXPECT_FALSE(events[5].contains("text"));
  EXPECT_EQ(events[6]["delta"], Json({{"x", 0}, {"y", -120}}));
  EXPECT_EQ(events[6]["position"], Json({{"x", 800}, {"y", 980}}));
  EXPECT_EQ(events[7]["button"], "left");
  EXPECT_EQ(events[7]["target"]["name"], "Send");
  EXPECT_EQ(events[11]["window"]["title"], "Settings");
  EXPECT_EQ(events[13]["selection"], Json({{"redacted", true}}));
}

TEST_F(RecordingTest, NothingTypedIntoAPasswordFieldLeaves) {
  Request("record.start");
  WaitForEvents(1);
  Click(400, 920);
  for (const char c : std::string("ZQ7")) Press(static_cast<std::uint32_t>(c));
  sim_.Input().SendKey(' ', true);
  // The last character while the application's automation hangs, then Tab: by the time the
  // key's element is described, the focus has moved on to an ordinary one.
  sim_.Automation().HoldCalls(true);
  Press('K');
  Press(kVkTab);
  sim_.Automation().HoldCalls(false);
  // Without the focus changes of the click and of Tab, which come between.
  std::vector<Json> events = WaitForEvents(10);
  std::erase_if(events, [](const Json& event) { return event["kind"] == "window.changed"; });
  ASSERT_EQ(events.size(), 8u);
  for (const Json& secret : std::span(events).subspan(2, 5)) {
    EXPECT_EQ(secret["kind"], "secure_input_occurred") << secret.dump();
    EXPECT_FALSE(secret.contains("text")) << secret.dump();
    EXPECT_FALSE(secret.contains("key")) << secret.dump();
    EXPECT_EQ(secret["target"]["secure"], true) << secret.dump();
    EXPECT_FALSE(secret["target"].contains("name")) << secret.dump();
  }
  EXPECT_EQ(events[7]["key"], "Tab");  // named keys stay
  const std::vector<std::uint8_t> bytes = output_.Bytes();
  const std::string written(bytes.begin(), bytes.end());
  for (const char* canary : {"ZQ7", "zq7", "\"k\"", "\"K\""}) {
    EXPECT_EQ(written.find(canary), std::string::npos) << canary;
  }
}

TEST_F(RecordingTest, RecordMethodsPauseResumeAndTheDurationsEnd) {
  EXPECT_EQ(Request("record.pause")["error"], "native_helper_request_failed");
  EXPECT_EQ(Request("record.resume")["error"], "native_helper_request_failed");
  Request("record.start", {{"maxDurationSeconds", 600}});
  WaitForEvents(1);
  // A second start ends the first, with no event for its end.
  EXPECT_EQ(Request("record.start", {{"maxDurationSeconds", 1.9}}), Json({{"state", "recording"}}));
  EXPECT_EQ(sim_.MessageLoops().InputHookCount(), 2u);
  WaitForEvents(2);

  EXPECT_EQ(Request("record.pause"), Json({{"state", "paused"}}));
  Press('A');
  EXPECT_EQ(Request("record.resume"), Json({{"state", "recording"}}));
  Press('B');
  const std::vector<Json> events = WaitForEvents(3);
  EXPECT_EQ(events.size(), 3u);
  EXPECT_EQ(events.back()["key"], "B");

  // One second (1.9 truncated) later it ends quietly, releasing what the helper held.
  sim_.System().AdvanceTicks(1000);
  ASSERT_TRUE(testing::WaitUntil([&] { return !RecordingActive(); }));
  EXPECT_EQ(EmergencyStops(), 0u);
  EXPECT_EQ(Request("record.pause")["error"], "native_helper_request_failed");
  EXPECT_EQ(Request("record.stop"), Json({{"state", "stopped"}}));
  EXPECT_EQ(sim_.MessageLoops().InputHookCount(), 0u);
}

TEST_F(RecordingTest, EscapeHeldTwoSecondsStopsARecordingPausedOrNot) {
  for (const bool paused : {false, true}) {
    Request("record.start");
    if (paused) Request("record.pause");
    const std::size_t before = EmergencyStops();
    sim_.Input().SendKey(platform::kVkEscape, true);
    sim_.System().AdvanceTicks(kEscapeHoldMs);
    ASSERT_TRUE(testing::WaitUntil([&] { return EmergencyStops() == before + 1; })) << paused;
    EXPECT_TRUE(testing::WaitUntil([&] { return !RecordingActive(); }));
    sim_.Input().SendKey(platform::kVkEscape, false);
  }
}

TEST_F(RecordingTest, LockPausesTheRecordingForGood) {
  Request("record.start");
  WaitForEvents(1);
  sim_.Sessions().LockSession();
  ASSERT_TRUE(testing::WaitUntil([&] { return EmergencyStops() == 1; }));
  EXPECT_TRUE(RecordingActive());
  EXPECT_TRUE(Service().CurrentRecording()->IsPaused());
  // A refused request ends whatever ran.
  EXPECT_EQ(Request("record.resume")["error"], "secure_desktop_unavailable");
  EXPECT_EQ(Service().CurrentRecording(), nullptr);
  EXPECT_EQ(sim_.MessageLoops().InputHookCount(), 0u);
  EXPECT_EQ(EmergencyStops(), 1u);
}

TEST_F(RecordingTest, UndeliverableEventsEndTheRecordingWithoutSlowingTheInput) {
  const std::pair<const char*, std::function<void(bool)>> cases[] = {
      {"automation hangs", [this](bool on) { sim_.Automation().HoldCalls(on); }},
      {"the parent reads nothing", [this](bool on) { output_.Hold(on); }},
      {"the write fails", [this](bool on) { output_.Break(on); }},
  };
  for (const auto& [name, block] : cases) {
    const std::size_t events = Events().size();
    Request("record.start");
    WaitForEvents(events + 1);
    const std::size_t stops = EmergencyStops();
    block(true);
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < kMaxPendingInputs + 8 && RecordingActive(); ++i) Press('A');
    // Every key went through the hooks, none waited for the recorder.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << name;
    EXPECT_TRUE(testing::WaitUntil([&] { return !RecordingActive(); })) << name;
    block(false);
    EXPECT_EQ(Request("record.stop"), Json({{"state", "stopped"}})) << name;
    EXPECT_EQ(EmergencyStops(), stops) << name;
  }
}

// F1, Left Shift, Left Control, the ';' key and numpad 0 have codes of characters they do not
// type: named so, a replay would press another key.
TEST(RecordingKeyNames, NameOnlyWhatTheKeyActionCanPressBack) {
  const std::pair<std::uint32_t, std::u16string> cases[] = {
      {'A', u"A"},     {'7', u"7"},    {0x0D, u"Enter"}, {0x2E, u"Delete"},
      {0x24, u"Home"}, {0x23, u"End"}, {0x70, u""},      {0xA0, u""},
      {0xA2, u""},     {0xBA, u""},    {0x60, u""},      {0, u""},
  };
  for (const auto& [virtualKey, name] : cases) EXPECT_EQ(KeyName(virtualKey), name) << virtualKey;
}

}  // namespace
}  // namespace velmora::computer_use
