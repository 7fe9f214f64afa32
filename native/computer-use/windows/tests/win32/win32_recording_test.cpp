// Recording through the service against the fixture program, with xdotool playing the user: the
// events Wine's hooks and win events give, and the input the recorder must leave out. Wine's UI
// Automation finds no element at a point, so the mouse events come without a "target".
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "service/helper_service.h"
#include "support/service_requests.h"
#include "win32/win32_fixture.h"
#include "win32/win32_fixture_ids.h"
#include "win32/win32_programs.h"

namespace velmora::computer_use {
namespace {

using std::chrono::milliseconds;
using EventMatch = std::function<bool(const Json& event)>;

void DestroyOwnWindow(HWND window) {
  DestroyWindow(window);
}
using OwnWindow = ScopedHandle<platform::win32::NullHandleTraits<HWND, &DestroyOwnWindow>>;

EventMatch Is(const std::string& kind, const std::string& title) {
  return
      [=](const Json& event) { return event["kind"] == kind && event["window"]["title"] == title; };
}

std::string Dump(const std::vector<Json>& events) {
  std::string text;
  for (const Json& event : events) text += event.dump() + "\n";
  return text;
}

POINT ClientPoint(HWND window, POINT point) {
  ClientToScreen(window, &point);
  return point;
}

class Recording : public FixtureProgram {
 public:
  Recording() : FixtureProgram(L" --controller") {}

  void SetUp() override {
    FixtureProgram::SetUp();
    ASSERT_TRUE(apartment_.Entered());
    service_ = std::make_unique<HelperService>(platform_, writer_);
    ASSERT_EQ(FocusByTitle("Velmora Fixture"), 0);
    ASSERT_TRUE(testing::WaitUntil([&] { return GetForegroundWindow() == top_; }));
    ASSERT_EQ(Request("record.start"), Json({{"state", "recording"}}));
    ASSERT_TRUE(WaitForEvent(0, [](const Json& event) {
      return event["kind"] == "session.started";
    })) << Dump(Events());
  }
  void TearDown() override {
    if (service_) Request("record.stop");
    service_.reset();
  }

  Json Request(const std::string& method) { return testing::Serve(*service_, output_, method); }
  std::vector<Json> Events() const { return testing::RecordingEvents(output_); }
  // The first event from index `from` on that `match` accepts, once it has come.
  std::optional<Json> WaitForEvent(std::size_t from, const EventMatch& match,
                                   milliseconds timeout = milliseconds(5000)) const {
    std::optional<Json> found;
    testing::WaitUntil(
        [&] {
          const std::vector<Json> events = Events();
          const auto it =
              std::find_if(events.begin() + std::min(from, events.size()), events.end(), match);
          if (it != events.end()) found = *it;
          return found.has_value();
        },
        timeout);
    return found;
  }
  // The user's click in the fixture's window, then the events since `mark` before its own. This
  // thread answers what is sent to its windows meanwhile.
  std::optional<std::vector<Json>> EventsBeforeClick(std::size_t mark) {
    const POINT point = ClientPoint(top_, POINT{300, 200});
    if (Xdotool(ClickAt(point)) != 0) return std::nullopt;
    const Json position{{"x", point.x}, {"y", point.y}};
    std::optional<std::vector<Json>> before;
    testing::WaitUntil([&] {
      MSG message{};
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
      const std::vector<Json> events = Events();
      const auto begin =
          events.begin() + static_cast<std::ptrdiff_t>(std::min(mark, events.size()));
      const auto click = std::find_if(begin, events.end(), [&](const Json& event) {
        return event["kind"] == "mouse.click" && event["position"] == position;
      });
      if (click != events.end()) before.emplace(begin, click);
      return before.has_value();
    });
    return before;
  }

  // The access gate asks for the session, which Wine cannot answer.
  platform::Platform platform_ = SimulatedSessionPlatform();
  ComApartment apartment_;
  FrameWriter writer_{output_};
  std::unique_ptr<HelperService> service_;
  OwnWindow own_;
};

TEST_F(Recording, StartsWithTheForegroundWindow) {
  const Json started = Events().at(0);
  EXPECT_EQ(started["app"]["name"], "computer_use_window_fixture.exe");
  EXPECT_EQ(started["window"]["title"], "Velmora Fixture");
  EXPECT_FALSE(started["window"]["windowIdentity"].get<std::string>().empty());
  // Milliseconds since 1970, as this process's clock has them.
  const auto now =
      std::chrono::duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch());
  EXPECT_NEAR(started["timestamp"].get<double>(), static_cast<double>(now.count()), 60000);
}

TEST_F(Recording, TypedKeysGiveTheirTextCapitalsIncluded) {
  const std::size_t mark = Events().size();
  ASSERT_EQ(Xdotool({"type", "aB"}), 0);
  ASSERT_TRUE(WaitForEvent(mark, [](const Json& event) { return event.value("text", "") == "B"; }))
      << Dump(Events());
  // What each event with a key or text says of it; Shift itself comes as Left Shift, which is
  // named nothing.
  std::vector<Json> typed;
  const std::vector<Json> events = Events();
  for (auto it = events.begin() + static_cast<std::ptrdiff_t>(mark); it != events.end(); ++it) {
    if (!it->contains("key") && !it->contains("text")) continue;
    EXPECT_EQ((*it)["app"]["name"], "computer_use_window_fixture.exe");
    EXPECT_EQ((*it)["window"]["title"], "Velmora Fixture");
    typed.push_back(Json{{"kind", (*it)["kind"]},
                         {"key", it->value("key", Json())},
                         {"text", it->value("text", Json())},
                         {"modifiers", it->value("modifiers", Json())}});
  }
  EXPECT_EQ(typed,
            (std::vector<Json>{
                {{"kind", "keyboard.text"}, {"key", "A"}, {"text", "a"}, {"modifiers", nullptr}},
                {{"kind", "keyboard.text"},
                 {"key", "B"},
                 {"text", "B"},
                 {"modifiers", Json::array({"Shift"})}}}))
      << Dump(events);
  // What was typed reached the edit.
  EXPECT_NE(WindowText(GetDlgItem(top_, fixture::kEditId)).find(L"aB"), std::wstring::npos);
}

TEST_F(Recording, ButtonsAndTheWheelGiveTheirPosition) {
  // An empty spot of the client area, below the controls.
  const POINT point = ClientPoint(top_, POINT{300, 200});
  const Json position{{"x", point.x}, {"y", point.y}};
  ASSERT_EQ(Xdotool({"mousemove", std::to_string(point.x), std::to_string(point.y)}), 0);
  struct Case {
    const char* button;  // xdotool's: 4 and 5 turn the wheel
    const char* kind;
    const char* member;
    Json value;
  };
  const Case cases[] = {
      {"1", "mouse.click", "button", "left"},
      {"3", "mouse.click", "button", "right"},
      {"2", "mouse.click", "button", "middle"},
      {"5", "mouse.scroll", "delta", {{"x", 0}, {"y", -120}}},
      {"4", "mouse.scroll", "delta", {{"x", 0}, {"y", 120}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.button);
    const std::size_t mark = Events().size();
    ASSERT_EQ(Xdotool({"click", c.button}), 0);
    const std::optional<Json> event = WaitForEvent(mark, Is(c.kind, "Velmora Fixture"));
    ASSERT_TRUE(event) << Dump(Events());
    EXPECT_EQ((*event)[c.member], c.value);
    EXPECT_EQ((*event)["position"], position);
    EXPECT_EQ((*event)["app"]["name"], "computer_use_window_fixture.exe");
  }
}

TEST_F(Recording, SwitchingWindowsGivesAppActivated) {
  const HWND dialog = FindWindowW(L"VelmoraFixture", L"Fixture Dialog");
  ASSERT_NE(dialog, nullptr);
  struct Case {
    const char* title;
    HWND window;
    std::function<void()> activate;
  };
  const Case cases[] = {
      // The user's click.
      {"Fixture Dialog", dialog,
       [&] {
         ASSERT_EQ(Xdotool(ClickAt(ClientPoint(dialog, POINT{20, 20}))), 0);
       }},
      // The helper's own switch is the user's new foreground all the same.
      {"Velmora Fixture", top_,
       [this] { ASSERT_TRUE(windows_.SetForegroundWindow(platform::win32::FromHwnd(top_))); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const std::size_t mark = Events().size();
    c.activate();
    ASSERT_TRUE(testing::WaitUntil([&] { return GetForegroundWindow() == c.window; }));
    const std::optional<Json> event = WaitForEvent(mark, Is("app.activated", c.title));
    ASSERT_TRUE(event) << Dump(Events());
    EXPECT_EQ((*event)["app"]["name"], "computer_use_window_fixture.exe");
  }
}

TEST_F(Recording, EscapeHeldTwoSecondsStopsItWithOneEvent) {
  const std::optional<std::chrono::steady_clock::duration> held = HoldEscapeUntilStopped(output_);
  ASSERT_TRUE(held);
  EXPECT_GE(*held, milliseconds(1900));
  EXPECT_TRUE(testing::WaitUntil([&] { return !service_->CurrentRecording()->IsActive(); }));
  EXPECT_EQ(StopEvents(output_), 1);
  // Escape is named, never typed, however often X repeats it.
  const std::vector<Json> events = Events();
  ASSERT_GT(events.size(), 1u);
  for (auto it = events.begin() + 1; it != events.end(); ++it) {
    EXPECT_EQ((*it)["key"], "Escape") << it->dump();
    EXPECT_FALSE(it->contains("text")) << it->dump();
  }
}

// Something done in the fixture's windows or by the helper, and the events it gives before the
// user's next click: none, or the one window.changed of a rename.
struct BeforeTheClick {
  const char* name;
  std::function<void(Recording&)> act;
  const char* renamedTo;  // null: no events
  const char* wineQuirk;  // null, or why Wine gives otherwise
};

const BeforeTheClick kBeforeTheClick[] = {
    {"TheRecordersOwnControlsGiveNothing",
     [](Recording&) {
       const HWND controller = FindWindowW(L"VelmoraFixture", L"Velmora Recording Controller");
       ASSERT_NE(controller, nullptr);
       ASSERT_EQ(Xdotool(ClickAt(ClientPoint(controller, POINT{100, 80}))), 0);
       // The click activated it: its activation and its focus would be events of their own.
       ASSERT_TRUE(testing::WaitUntil([&] { return GetForegroundWindow() == controller; }));
     },
     nullptr, nullptr},
    {"TheHelpersOwnInputGivesNothing",
     [](Recording& f) {
       const HWND edit = GetDlgItem(f.top_, fixture::kEditId);
       const POINT inEdit = ClientPoint(edit, POINT{5, 5});
       const auto proceed = [] { return true; };
       InputController& input = f.service_->Input();
       ASSERT_TRUE(input.Act(Json{{"kind", "click"}}, nullptr, PhysicalPoint{inEdit.x, inEdit.y},
                             true, proceed));
       ASSERT_TRUE(
           input.Act(Json{{"kind", "key"}, {"key", "Q"}}, nullptr, std::nullopt, true, proceed));
       ASSERT_TRUE(input.Act(Json{{"kind", "scroll"}}, nullptr, std::nullopt, true, proceed));
       // The key reached the edit, so the hooks had it.
       ASSERT_TRUE(
           testing::WaitUntil([&] { return WindowText(edit).find(L'q') != std::wstring::npos; }));
     },
     nullptr, nullptr},
    // The helper's own windows are skipped where their win events are raised.
    {"TheHelpersOwnWindowsGiveNothing",
     [](Recording& f) {
       f.own_.Reset(CreateWindowExW(0, L"STATIC", L"Helper Window", WS_OVERLAPPEDWINDOW, 600, 400,
                                    200, 100, nullptr, nullptr, GetModuleHandleW(nullptr),
                                    nullptr));
       ASSERT_NE(f.own_.Get(), nullptr);
       for (const DWORD event : {EVENT_SYSTEM_FOREGROUND, EVENT_OBJECT_FOCUS,
                                 EVENT_OBJECT_SELECTION, EVENT_OBJECT_NAMECHANGE}) {
         NotifyWinEvent(event, f.own_.Get(), OBJID_WINDOW, CHILDID_SELF);
       }
     },
     nullptr,
     "Wine hands out-of-context hooks the own process's win events despite "
     "WINEVENT_SKIPOWNPROCESS"},
    {"ARenamedWindowGivesWindowChanged",
     [](Recording& f) { ASSERT_TRUE(SetWindowTextW(f.top_, L"Velmora Fixture Renamed")); },
     "Velmora Fixture Renamed", "Wine's WM_SETTEXT raises no EVENT_OBJECT_NAMECHANGE"},
};

class EventsBeforeTheClick : public Recording,
                             public ::testing::WithParamInterface<BeforeTheClick> {};

TEST_P(EventsBeforeTheClick, AreOnlyTheExpected) {
  const BeforeTheClick& row = GetParam();
  const std::size_t mark = Events().size();
  row.act(*this);
  if (HasFatalFailure()) return;
  const std::optional<std::vector<Json>> before = EventsBeforeClick(mark);
  ASSERT_TRUE(before) << Dump(Events());
  const std::size_t expected = row.renamedTo ? 1 : 0;
  if (row.wineQuirk && RunningUnderWine() && before->empty() != (expected == 0)) {
    GTEST_SKIP() << row.wineQuirk << ":\n" << Dump(*before);
  }
  ASSERT_EQ(before->size(), expected) << Dump(*before);
  if (row.renamedTo) {
    EXPECT_TRUE(Is("window.changed", row.renamedTo)(before->front())) << Dump(*before);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, EventsBeforeTheClick, ::testing::ValuesIn(kBeforeTheClick),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora::computer_use
