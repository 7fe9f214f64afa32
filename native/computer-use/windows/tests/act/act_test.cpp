// The "act" request through the service on the simulated desktop's default scene: the checks of
// the context in their order, both paths, the events sent, held input and interference.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "act/control_actions.h"
#include "act/wait.h"
#include "common/own_input.h"
#include "support/act_context.h"
#include "support/sim_desktop_test.h"

namespace velmora::computer_use {
namespace {

using platform::InputEvent;

constexpr char kSettings[] =
    "exe_path_sha256:3d91ad2756bfe69871995ab990edfe451ab6266fa07e95630bf49b80dedb4efd";

class ActTest : public testing::SimDesktopTest {
 protected:
  void SetUp() override { Scene("default"); }

  // Observes and keeps the observation for the context of the next acts.
  Json Observe(const Json& payload = {{"scope", "foreground"}}) {
    return observation_ = Request("observe", payload);
  }
  // A password field is never named: "Password" finds the sensitive node.
  std::string IdOf(const std::string& name) {
    for (const Json& node : observation_["targets"]) {
      if (node.value("name", "") == name ||
          (name == "Password" && node.value("sensitive", false))) {
        return node["id"];
      }
    }
    return "uia:none";
  }
  // The act's result; the context's target is the element with this name, or the observed
  // window for a wait.
  Json Act(Json action, const std::string& name,
           const std::function<void(Json&)>& change = nullptr) {
    const std::string target = action.value("kind", "") == "wait" ? "" : IdOf(name);
    Json payload{{"action", std::move(action)},
                 {"context", testing::ActContext(observation_, target, ++sequence_)}};
    if (change) change(payload);
    return Request("act", payload);
  }
  Json Wait(const Json& assertion, double timeoutMs = 100,
            const std::function<void(Json&)>& change = nullptr) {
    return Act({{"kind", "wait"}, {"timeoutMs", timeoutMs}, {"assertion", assertion}}, "", change);
  }
  // Runs `then` on another thread once the wait has replaced the observation it started on.
  std::thread AfterFirstPoll(std::function<void()> then) {
    return std::thread([this, id = observation_["id"].get<std::string>(),
                        hash = observation_["stateHash"].get<std::string>(),
                        then = std::move(then)] {
      ASSERT_TRUE(
          testing::WaitUntil([&] { return !Service().Observer().IsObservationCurrent(id, hash); }));
      then();
    });
  }
  std::vector<InputEvent> Sent() { return sim_.Input().SentEvents(); }
  // The keys sent in order, each as its virtual key, negative when going up.
  std::vector<int> SentKeys() {
    std::vector<int> keys;
    for (const InputEvent& event : Sent()) {
      keys.push_back((event.flags & platform::kKeyEventKeyUp) ? -event.virtualKey
                                                              : event.virtualKey);
    }
    return keys;
  }
  platform::sim::SimElement Named(const std::u16string& window, const std::u16string& name) {
    return sim_.Automation().Get(
        sim_.Automation().FindByName(sim_.Windows().FindTopLevelWindow(window), name));
  }
  bool Shows(const std::u16string& window, const std::u16string& name) {
    return sim_.Automation().FindByName(sim_.Windows().FindTopLevelWindow(window), name) != 0;
  }

  Json observation_;
  int sequence_ = 0;
};

Json Failed(const char* code, bool untouched = true) {
  Json result{{"ok", false}, {"errorCode", code}};
  if (untouched) result["executionState"] = "not_started";
  return result;
}

TEST_F(ActTest, ContextChecksRefuseInTheirOrderWithoutTouchingTheDesktop) {
  Observe();
  const Json click{{"kind", "click"}};
  // Each row's change to the request, as a JSON merge patch (null removes).
  const std::pair<Json, const char*> cases[] = {
      {{{"context", {{"deadline", nullptr}}}}, "action_deadline_expired"},
      {{{"context", {{"interaction", nullptr}}}}, "user_interference"},
      {{{"context", {{"interaction", {{"id", "{x}"}}}}}}, "user_interference"},
      {{{"context", {{"expectedStateHash", "00"}}}}, "stale_observation"},
      {Json::parse(R"({"action": {"kind": "key", "key": "Enter", "target": {"id": "x"}},
                       "context": {"targetIdentity": "uia:99"}})"),
       "target_not_found"},
      {Json::parse(R"({"action": {"target": {"normalizedBox":
                         {"x": 0.5, "width": 0.6, "y": 0, "height": 0.1}}},
                       "context": {"targetIdentity": "uia:99"}})"),
       "target_not_found"},
  };
  for (const auto& [patch, code] : cases) {
    EXPECT_EQ(Act(click, "Send", [&edit = patch](Json& p) { p.merge_patch(edit); }), Failed(code))
        << patch;
  }
  // Last: the user's click after the observation spoils its record.
  Click(400, 500);
  EXPECT_EQ(Act(click, "Send"), Failed("user_interference"));
  EXPECT_TRUE(Sent().empty());
  Observe();

  // A sequence is consumed once it passes the lease check, whatever happens after.
  sequence_ = 9;
  EXPECT_EQ(Act({{"kind", "key"}, {"key", "hyper"}}, "Message")["errorCode"], "action_failed");
  sequence_ = 9;
  EXPECT_EQ(Act(click, "Send"), Failed("duplicate_action_sequence"));
  // A malformed context is an error reply, not a result.
  EXPECT_EQ(Act(click, "Send", [](Json& p) { p["context"]["sequence"] = 0.9; })["error"],
            "native_helper_request_failed");
  EXPECT_EQ(Act(click, "Send", [](Json& p) { p.erase("action"); })["error"],
            "native_helper_request_failed");
}

TEST_F(ActTest, ForegroundTypingClickingAndKeys) {
  Observe();
  EXPECT_EQ(Act({{"kind", "type"}, {"text", "hi\xC3\xA9"}}, "Message"), Json({{"ok", true}}));
  EXPECT_EQ(Named(u"Velmora Demo", u"Message").value, u"hi\u00e9");
  std::vector<InputEvent> sent = Sent();
  ASSERT_EQ(sent.size(), 6u);  // a Unicode down and up per unit
  for (const InputEvent& event : sent) {
    EXPECT_EQ(event.extraInfo, kOwnInputMarker);
    EXPECT_NE(event.flags & platform::kKeyEventUnicode, 0u);
  }
  EXPECT_EQ(sent[4].scanCode, 0x00E9);
  EXPECT_EQ(sent[5].flags, platform::kKeyEventUnicode | platform::kKeyEventKeyUp);

  // A single click invokes "Send" through its pattern, without a mouse event.
  sim_.Input().ClearSentEvents();
  EXPECT_EQ(Act({{"kind", "click"}}, "Send"), Json({{"ok", true}}));
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(Shows(u"Velmora Demo", u"Sent: hi\u00e9"));

  // Never into a password field.
  EXPECT_EQ(Act({{"kind", "type"}, {"text", "x"}}, "Password"), Failed("action_failed", false));

  // Modifiers in order, released in reverse; names of keys are exact, of modifiers not.
  Observe();
  sim_.Input().ClearSentEvents();
  EXPECT_EQ(Act({{"kind", "key"}, {"key", "Tab"}, {"modifiers", {"Ctrl", "SHIFT"}}}, "Message"),
            Json({{"ok", true}}));
  EXPECT_EQ(SentKeys(), (std::vector<int>{0x11, 0x10, 0x09, -0x09, -0x10, -0x11}));
  sim_.Input().ClearSentEvents();
  EXPECT_EQ(Act({{"kind", "key"}, {"key", "enter"}}, "Message")["errorCode"], "action_failed");
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(Act({{"kind", "scroll"}, {"direction", "left"}}, "none"), Json({{"ok", true}}));
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].mouseData, -240);
}

TEST_F(ActTest, UserInterferenceStopsAnActionBetweenEventsAndReleasesItsKeys) {
  Observe();
  // The user clicks in the window once the action has pressed its first key.
  sim_.Input().OnInjected([this](const InputEvent&) {
    sim_.Input().OnInjected(nullptr);
    sim_.Input().SendMouse(platform::kWmLButtonDown, 300, 300);
  });
  EXPECT_EQ(Act({{"kind", "key"}, {"key", "A"}, {"modifiers", {"control"}}}, "Message"),
            Failed("user_interference", false));
  // Control down, then the release batch's Control up.
  EXPECT_EQ(SentKeys(), (std::vector<int>{0x11, -0x11}));
  EXPECT_TRUE(Service().Input().HeldKeys().empty());
}

TEST_F(ActTest, BackgroundPathActsThroughPatternsAndTheButtonsOwnMessage) {
  ASSERT_EQ(
      Observe({{"scope", "application"}, {"appIdentity", kSettings}})["foreground"]["appIdentity"],
      kSettings);
  EXPECT_EQ(Act({{"kind", "click"}}, "Apply"), Json({{"ok", true}}));
  EXPECT_TRUE(Shows(u"Settings", u"Applied"));
  EXPECT_EQ(Act({{"kind", "click"}}, "Advanced"), Json({{"ok", true}}));
  EXPECT_TRUE(Shows(u"Settings", u"Proxy"));
  Observe({{"scope", "application"}, {"appIdentity", kSettings}});
  EXPECT_EQ(Act({{"kind", "type"}, {"text", "admin"}}, "Name"), Json({{"ok", true}}));
  EXPECT_EQ(Named(u"Settings", u"Name").value, u"admin");  // replaced, not appended
  EXPECT_EQ(Act({{"kind", "scroll"}, {"direction", "up"}}, "Items"), Json({{"ok", true}}));
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(sim_.Automation().AutoSetFocusValue());  // restored after each

  for (const auto& [kind, name] :
       std::vector<std::pair<const char*, const char*>>{{"click", "Dark mode"},
                                                        {"type", "Version"},
                                                        {"key", "Name"},
                                                        {"focus", "Name"},
                                                        {"double_click", "Apply"}}) {
    EXPECT_EQ(Act({{"kind", kind}, {"key", "A"}}, name), Failed("background_action_unavailable"))
        << kind << " " << name;
  }
  EXPECT_EQ(Act({{"kind", "click"}, {"target", {{"normalizedBox", {{"x", 0.1}}}}}}, "Apply"),
            Failed("background_action_unavailable"));

  // Typing never goes into a password field, in the background either.
  Observe();
  const ElementRef password = Service().Observer().ResolveTarget(
      IdOf("Password"), observation_["id"], observation_["stateHash"]);
  ASSERT_TRUE(password);
  EXPECT_FALSE(
      CanActInBackground(sim_.Windows(), sim_.MessageLoops(), {{"kind", "type"}}, password.get()));
}

TEST_F(ActTest, ActivationReportsHowFarItGot) {
  // Each on a fresh observation: a foreground that moved makes the last one stale.
  const auto activate = [&](const Json& fields) {
    Observe();
    Json action{{"kind", "activate_app"}};
    action.update(fields);
    return Act(action, "Send");
  };
  // The window was in the background before each of the activations reported in full.
  const auto report = [](const char* stage, bool accepted) {
    return Json{{"stage", stage},
                {"apiAccepted", accepted},
                {"initiallyForeground", false},
                {"immediatelyForeground", accepted}};
  };
  EXPECT_EQ(activate({{"appIdentity", kSettings}}),
            (Json{{"ok", true}, {"activation", report("activated", true)}}));
  const platform::WindowHandle settings = sim_.Windows().FindTopLevelWindow(u"Settings");
  EXPECT_EQ(sim_.Windows().ForegroundWindow(), settings);
  EXPECT_EQ(activate({{"appIdentity", kSettings}})["activation"]["stage"], "already_foreground");

  const std::string notes =
      "exe_path_sha256:e3ab4255821561c70ada41fed02248596d7785ffee39c88ec24227d1cfc37b55";
  EXPECT_EQ(activate({{"appIdentity", notes}})["errorCode"], "target_ambiguous");
  EXPECT_EQ(activate({{"appIdentity", "exe_path_sha256:00"}})["errorCode"], "app_not_found");
  EXPECT_EQ(activate(Json::object())["error"], "invalid_request");
  // One window of several, named by its identity.
  const Json second =
      Request("observe", {{"scope", "application"}, {"appIdentity", notes}})["windows"][1];
  EXPECT_EQ(activate({{"appIdentity", notes}, {"windowIdentity", second["windowIdentity"]}})["ok"],
            true);
  EXPECT_EQ(Observe()["foreground"]["windowTitle"], second["windowTitle"]);

  // Minimized, it is restored first; refused, it reports so after its looks.
  sim_.Windows().SetWindowMinimized(settings, true);
  sim_.Windows().SetForegroundWindow(sim_.Windows().FindTopLevelWindow(u"Velmora Demo"));
  EXPECT_EQ(activate({{"appIdentity", kSettings}})["activation"]["stage"], "activated");
  EXPECT_FALSE(sim_.Windows().IsIconic(settings));
  sim_.Windows().SetForegroundWindow(sim_.Windows().FindTopLevelWindow(u"Velmora Demo"));
  sim_.Windows().SetRefuseForeground(true);
  EXPECT_EQ(activate({{"appIdentity", kSettings}}),
            (Json{{"ok", false},
                  {"errorCode", "app_activation_failed"},
                  {"activation", report("denied", false)}}));
}

TEST(WaitAssertionTest, EachKindHoldsExactlyWhenItsRuleSays) {
  Observation seen;
  seen.stateHash = "new";
  ElementNode& button = seen.targets.emplace_back();
  button.id = "uia:1";
  button.role = u"button";
  button.name = u"Sent: Hello W\u00D6RLD";
  button.automationId = u"send";
  const Json target{{"role", "BUTTON"}, {"automationId", "send"}};
  const std::tuple<Json, std::string, bool> cases[] = {
      {{{"kind", "state_changed"}}, "old", true},
      {{{"kind", "state_changed"}}, "new", false},
      {{{"kind", "state_changed"}, {"expected_state_hash", "new"}}, "old", false},
      {{{"kind", "state_changed"}, {"expected_state_hash", ""}}, "new", true},
      {{{"kind", "text_matches"}, {"pattern", "hello w\u00F6rld"}}, "new", true},
      {{{"kind", "text_matches"}, {"pattern", "Hello  W"}}, "new", false},
      {{{"kind", "text_matches"}, {"pattern", ""}}, "new", false},
      {{{"kind", "target_exists"}, {"target", target}}, "old", true},
      {{{"kind", "target_missing"}, {"target", target}}, "old", false},
      {{{"kind", "target_exists"}, {"target", {{"name", "sent: hello w\u00D6rld"}}}}, "x", false},
      {{{"kind", "target_missing"}, {"target", {{"name", "Send"}}}}, "x", true},
      // A selector names a node only in the state it was handed out in.
      {{{"kind", "target_exists"}, {"target", {{"selector", "uia:1"}}}}, "new", true},
      {{{"kind", "target_exists"}, {"target", {{"selector", "uia:1"}}}}, "old", false},
      {{{"kind", "target_missing"}, {"target", {{"selector", "uia:2"}}}}, "old", false},
      {{{"kind", "target_missing"}, {"target", {{"selector", "uia:2"}}}}, "new", true},
      // Without a criterion neither holds; nor does an unknown kind.
      {{{"kind", "target_missing"}}, "new", false},
      {{{"kind", "target_exists"}, {"target", {{"name", ""}}}}, "new", false},
      {{{"kind", "STATE_CHANGED"}}, "old", false},
  };
  for (const auto& [assertion, contextHash, holds] : cases) {
    EXPECT_EQ(EvaluateAssertion(ReadWaitAssertion(assertion), seen, contextHash), holds)
        << assertion.dump() << " in " << contextHash;
  }
  const std::pair<Json, long> timeouts[] = {
      {Json::object(), 5000},        {{{"timeoutMs", 50}}, 100}, {{{"timeoutMs", 1e9}}, 60000},
      {{{"timeoutMs", 250.9}}, 250}, {{{"timeoutMs", -1}}, 100},
  };
  for (const auto& [action, milliseconds] : timeouts) {
    EXPECT_EQ(WaitTimeout(action).count(), milliseconds) << action.dump();
  }
  EXPECT_THROW(WaitTimeout({{"timeoutMs", "5"}}), JsonTypeError);
}

TEST_F(ActTest, WaitsPollTheObservedWindowAndNeverTouchIt) {
  Observe();
  const Json notStarted{{"ok", true}, {"executionState", "not_started"}};
  const Json timedOut{{"ok", false}, {"executionState", "not_started"}};
  EXPECT_EQ(Wait({{"kind", "target_exists"}, {"target", {{"name", "Send"}}}}), notStarted);
  // The poll replaced the observation the parent held.
  EXPECT_EQ(Act({{"kind", "click"}}, "Send"), Failed("stale_observation"));

  // Holds once the helper's own click has changed the window.
  Observe();
  EXPECT_EQ(Act({{"kind", "type"}, {"text", "hi"}}, "Message"), Json({{"ok", true}}));
  EXPECT_EQ(Act({{"kind", "click"}}, "Send"), Json({{"ok", true}}));
  EXPECT_EQ(Wait({{"kind", "text_matches"}, {"pattern", "SENT: HI"}}), notStarted);

  // Never holds: runs to its time-out, at least 100 ms.
  for (const Json& assertion : {Json{{"kind", "text_matches"}}, Json{{"kind", "target_missing"}},
                                Json{{"kind", "appear"}}}) {
    Observe();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Wait(assertion, 50), timedOut) << assertion.dump();
    EXPECT_GE(std::chrono::steady_clock::now() - start, kWaitPollInterval);
  }

  // Another window than the one observed: false at once, without a poll.
  Observe();
  sim_.Input().ClearSentEvents();
  EXPECT_EQ(Wait({{"kind", "state_changed"}}, 60000,
                 [](Json& p) { p["context"]["targetIdentity"] = "exe_path_sha256:00:hwnd:1"; }),
            timedOut);
  EXPECT_TRUE(
      Service().Observer().IsObservationCurrent(observation_["id"], observation_["stateHash"]));
  EXPECT_TRUE(Sent().empty());
}

TEST_F(ActTest, TheDeadlineOrTheUsersInputEndsAWaitWithinAPoll) {
  const Json never{{"kind", "text_matches"}, {"pattern", "never there"}};
  // The deadline passes during the polls: not met, not interference.
  Observe();
  std::thread clock = AfterFirstPoll([this] {
    sim_.System().SetFileTime(sim_.System().SystemTimeAsFileTime() + 36'000'000'000ull);
  });
  EXPECT_EQ(Wait(never, 60000), Json({{"ok", false}, {"executionState", "not_started"}}));
  clock.join();

  // The user clicks into the window meanwhile.
  Observe();
  std::thread user = AfterFirstPoll([this] {
    sim_.Input().SendMouse(platform::kWmLButtonDown, 300, 300);
    sim_.Input().SendMouse(platform::kWmLButtonUp, 300, 300);
  });
  EXPECT_EQ(Wait(never, 60000), Failed("user_interference"));
  user.join();
}

TEST(LeaseTableTest, LeasesAreIndependentAndTheLeaseJustUsedIsNeverEvicted) {
  LeaseTable leases;
  for (int lease = 0; lease < 128; ++lease) EXPECT_TRUE(leases.Accept(std::to_string(lease), 1));
  EXPECT_TRUE(leases.Accept("new", 1));
  EXPECT_EQ(leases.Size(), 128u);
  EXPECT_FALSE(leases.Accept("new", 1));  // its replay is still refused
  EXPECT_TRUE(leases.Accept("0", 1));     // the least recently used one went
  EXPECT_TRUE(leases.Accept("new", 2));
  EXPECT_FALSE(leases.Accept("new", -5));
}

TEST_F(ActTest, AnUnsafeSessionStopsInputForGoodAndReleasesWhatIsHeld) {
  Observe();  // the session monitor runs from the first guarded request
  InputController& input = Service().Input();
  int calls = 0;
  // The continuation turns false once both modifiers are down.
  EXPECT_FALSE(input.Act({{"kind", "key"}, {"key", "B"}, {"modifiers", {"shift", "alt"}}}, nullptr,
                         std::nullopt, true, [&] { return ++calls <= 3; }));
  EXPECT_EQ(input.HeldKeys(), (std::set<std::uint32_t>{0x10, 0x12}));
  sim_.Sessions().LockSession();
  ASSERT_TRUE(testing::WaitUntil([&] { return input.IsStopped(); }));
  EXPECT_TRUE(input.HeldKeys().empty());
  sim_.Input().ClearSentEvents();
  EXPECT_FALSE(input.Act({{"kind", "scroll"}}, nullptr, std::nullopt, true, [] { return true; }));
  EXPECT_TRUE(Sent().empty());
}

}  // namespace
}  // namespace velmora::computer_use
