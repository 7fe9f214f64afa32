#include "safety/interaction_monitor.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/sim/sim_platform.h"
#include "support/test_support.h"

namespace velmora::computer_use {
namespace {

using platform::KeyboardHookEvent;
using platform::MouseHookEvent;
using platform::WindowHandle;
using platform::sim::SetupFailure;

constexpr platform::ProcessId kAppPid = 4242;

class InteractionMonitorTest : public ::testing::Test {
 protected:
  InteractionMonitorTest() {
    first_ = sim_.Windows().AddWindow(kAppPid, u"First");
    sim_.Windows().SetWindowRect(first_, {0, 0, 100, 100});
    button_ = sim_.Windows().AddWindow(kAppPid, u"Button", first_);
    sim_.Windows().SetWindowRect(button_, {10, 10, 50, 30});
    second_ = sim_.Windows().AddWindow(kAppPid, u"Second");
    sim_.Windows().SetWindowRect(second_, {200, 0, 300, 100});
    sim_.System().SetManualTicks(1'000'000);
  }

  void Click(std::int32_t x, std::uint32_t message = platform::kWmLButtonDown,
             std::uint32_t flags = 0, std::uintptr_t extraInfo = 0) {
    sim_.MessageLoops().DeliverMouseEvent(MouseHookEvent{message, x, 20, flags, extraInfo});
  }
  // A key event, then `thenMs` milliseconds pass.
  void Key(std::uint32_t message, std::uint32_t virtualKey = 'A', std::uintptr_t extraInfo = 0,
           std::uint32_t thenMs = 0) {
    sim_.MessageLoops().DeliverKeyboardEvent(KeyboardHookEvent{message, virtualKey, 0, extraInfo});
    sim_.System().AdvanceTicks(thenMs);
  }
  // Waits until the hook thread's loop has gone round at least twice more.
  void LetLoopRun() {
    const std::size_t seen = sim_.MessageLoops().DispatchedCount(platform::kWmTimer);
    ASSERT_TRUE(testing::WaitUntil(
        [&] { return sim_.MessageLoops().DispatchedCount(platform::kWmTimer) >= seen + 2; }));
  }
  std::uint64_t Generation(WindowHandle window) {
    return monitor_.GetInteractionRecord(window).generation;
  }

  testing::EmptyInput input_;
  testing::CapturedOutput output_;
  platform::sim::SimPlatform sim_{input_, output_};
  testing::CallCounter interference_;
  InteractionMonitor monitor_{sim_.Get(), [this] { interference_(); }};
  WindowHandle first_;
  WindowHandle button_;
  WindowHandle second_;
};

TEST_F(InteractionMonitorTest, RecordsAreMadeOnFirstUseAndShareTheFirstIdAsEpoch) {
  EXPECT_FALSE(monitor_.IsRunning());
  const InteractionRecord first = monitor_.GetInteractionRecord(first_);
  EXPECT_TRUE(monitor_.IsRunning());
  // Upper-case hexadecimal in braces: every such digit becomes 'h'.
  std::string shape = first.id;
  for (char& c : shape) c = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') ? 'h' : c;
  EXPECT_EQ(shape, "{hhhhhhhh-hhhh-hhhh-hhhh-hhhhhhhhhhhh}");
  EXPECT_EQ(first.generation, 0u);
  EXPECT_EQ(first.epoch, first.id);
  const InteractionRecord second = monitor_.GetInteractionRecord(second_);
  EXPECT_NE(second.id, first.id);
  EXPECT_EQ(second.epoch, first.id);
  EXPECT_EQ(monitor_.GetInteractionRecord(first_), first);

  // A restart forgets the records and moves the generation on; the epoch stays.
  const std::uint64_t before = monitor_.InteractionGeneration();
  monitor_.Stop();
  EXPECT_GT(monitor_.InteractionGeneration(), before);
  EXPECT_EQ(monitor_.RecordCount(), 0u);
  EXPECT_FALSE(monitor_.IsRecordCurrent(first_, first.id, 0));
  const InteractionRecord again = monitor_.GetInteractionRecord(first_);
  EXPECT_NE(again.id, first.id);
  EXPECT_EQ(again.epoch, first.id);
  EXPECT_TRUE(monitor_.IsRecordCurrent(first_, again.id, 0));
  EXPECT_FALSE(monitor_.IsRecordCurrent(first_, first.id, 0));
}

TEST_F(InteractionMonitorTest, CountingRules) {
  using namespace platform;
  struct Row {
    const char* name;
    std::function<void()> input;
    int desktop;  // added to the desktop-wide generation
    int window;   // added to the first window's record
    bool onSecond = false;
  };
  const Row rows[] = {
      {"UserClickOnWindowWithoutRecord", [&] { Click(250); }, 1, 0, true},
      // On a child control: counted for its top-level window.
      {"ClickOnChildControl", [&] { Click(20); }, 1, 1},
      {"ButtonUp", [&] { Click(20, kWmLButtonUp); }, 1, 0},
      {"Wheel", [&] { Click(20, kWmMouseWheel); }, 1, 1},
      {"RightButton", [&] { Click(20, kWmRButtonDown); }, 1, 1},
      {"MoveIsDropped", [&] { Click(20, kWmMouseMove); }, 0, 0},
      {"XButtonIsDropped", [&] { Click(20, kWmXButtonDown); }, 0, 0},
      // Another program's injection counts for the window only, at either integrity.
      {"Injected", [&] { Click(20, kWmLButtonDown, kLlmhfInjected); }, 0, 1},
      {"InjectedLowerIntegrity", [&] { Click(20, kWmLButtonDown, kLlmhfLowerIlInjected); }, 0, 1},
      {"OwnClick", [&] { Click(20, kWmLButtonDown, kLlmhfInjected, kOwnInputMarker); }, 0, 0},
      {"OwnKey", [&] { Key(kWmKeyDown, 'A', kOwnInputMarker); }, 0, 0},
      // Keys go to the foreground's top-level window; only presses count for it.
      {"KeyDown", [&] { Key(kWmKeyDown); }, 1, 1},
      {"SysKeyDown", [&] { Key(kWmSysKeyDown, 'F'); }, 1, 1},
      {"KeyUp", [&] { Key(kWmKeyUp); }, 1, 0},
      // No foreground: nothing is the user's window.
      {"KeyWithoutForeground",
       [&] {
         sim_.Windows().ClearForeground();
         Key(kWmKeyDown);
       },
       0, 0}};
  const InteractionRecord record = monitor_.GetInteractionRecord(first_);
  sim_.Windows().SetForegroundWindow(button_);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::uint64_t desktop = monitor_.InteractionGeneration();
    const std::uint64_t window = Generation(first_);
    row.input();
    EXPECT_EQ(monitor_.InteractionGeneration(), desktop + row.desktop);
    EXPECT_EQ(Generation(first_), window + row.window);
    EXPECT_TRUE(monitor_.IsRecordCurrent(first_, record.id, window + row.window));
    EXPECT_EQ(monitor_.IsRecordCurrent(first_, record.id, window), row.window == 0);
    EXPECT_EQ(monitor_.UserInteractedWith(first_, desktop), row.desktop == 1 && !row.onSecond);
    EXPECT_EQ(monitor_.UserInteractedWith(second_, desktop), row.desktop == 1 && row.onSecond);
  }

  // Nothing is counted while stopped, and no window counts as touched.
  monitor_.Stop();
  EXPECT_FALSE(monitor_.UserInteractedWith(first_, 0));
  const std::uint64_t stopped = monitor_.InteractionGeneration();
  Click(20);
  EXPECT_EQ(monitor_.InteractionGeneration(), stopped);
}

TEST_F(InteractionMonitorTest, TheHundredTwentyNinthWindowEvictsOneRecord) {
  std::vector<WindowHandle> windows;
  std::vector<std::string> ids;
  for (int i = 0; i < 129; ++i) {
    windows.push_back(sim_.Windows().AddWindow(kAppPid, u"W"));
    ids.push_back(monitor_.GetInteractionRecord(windows.back()).id);
  }
  EXPECT_EQ(monitor_.RecordCount(), kMaxInteractionRecords);
  std::vector<std::size_t> evicted;
  for (std::size_t i = 0; i < windows.size(); ++i) {
    if (!monitor_.IsRecordCurrent(windows[i], ids[i], 0)) evicted.push_back(i);
  }
  ASSERT_EQ(evicted.size(), 1u);
  EXPECT_NE(evicted[0], 128u);
  const InteractionRecord renewed = monitor_.GetInteractionRecord(windows[evicted[0]]);
  EXPECT_NE(renewed.id, ids[evicted[0]]);
  EXPECT_EQ(renewed.generation, 0u);
  EXPECT_EQ(monitor_.RecordCount(), kMaxInteractionRecords);
}

TEST_F(InteractionMonitorTest, DestroyedWindowLosesItsRecord) {
  monitor_.GetInteractionRecord(first_);
  const InteractionRecord second = monitor_.GetInteractionRecord(second_);
  Click(20);
  const std::uint64_t generation = monitor_.InteractionGeneration();
  // Events about other objects of the window are ignored; they arrive before the removal.
  sim_.MessageLoops().RaiseWinEvent(platform::kEventObjectDestroy, second_, -4 /*client*/, 0);
  sim_.MessageLoops().RaiseWinEvent(platform::kEventObjectDestroy, second_, platform::kObjIdWindow,
                                    3);
  sim_.Windows().RemoveWindow(first_);
  ASSERT_TRUE(testing::WaitUntil([&] { return monitor_.RecordCount() == 1; }));
  EXPECT_EQ(monitor_.InteractionGeneration(), generation + 1);
  EXPECT_FALSE(monitor_.UserInteractedWith(first_, generation));
  EXPECT_TRUE(monitor_.IsRecordCurrent(second_, second.id, 0));

  // Not the last window touched: the generation stays.
  sim_.Windows().RemoveWindow(second_);
  ASSERT_TRUE(testing::WaitUntil([&] { return monitor_.RecordCount() == 0; }));
  EXPECT_EQ(monitor_.InteractionGeneration(), generation + 1);
}

TEST_F(InteractionMonitorTest, EscapeHeldTwoSecondsCallsBackOnce) {
  monitor_.Start();
  // 1.999 s, with auto-repeat: nothing.
  Key(platform::kWmKeyDown, platform::kVkEscape, 0, 1000);
  Key(platform::kWmKeyDown, platform::kVkEscape, 0, 999);
  LetLoopRun();
  Key(platform::kWmKeyUp, platform::kVkEscape, 0, 5000);
  LetLoopRun();
  // The helper's own Escape never starts the count.
  Key(platform::kWmKeyDown, platform::kVkEscape, kOwnInputMarker, 5000);
  LetLoopRun();
  EXPECT_EQ(interference_.Count(), 0);
  EXPECT_TRUE(monitor_.IsRunning());

  // Another program's Escape counts like the user's (as a system key as well).
  sim_.MessageLoops().DeliverKeyboardEvent(
      KeyboardHookEvent{platform::kWmSysKeyDown, platform::kVkEscape, platform::kLlkhfInjected, 0});
  sim_.System().AdvanceTicks(2000);
  ASSERT_TRUE(interference_.WaitFor(1));
  ASSERT_TRUE(testing::WaitUntil([&] { return sim_.MessageLoops().InputHookCount() == 0; }));
  EXPECT_FALSE(monitor_.IsRunning());
  EXPECT_EQ(sim_.MessageLoops().TimerCount(), 0u);
  EXPECT_EQ(sim_.MessageLoops().WinEventHookCount(), 0u);
  EXPECT_EQ(interference_.Count(), 1);

  // The next use starts it afresh, without a held Escape.
  monitor_.GetInteractionRecord(first_);
  EXPECT_TRUE(monitor_.IsRunning());
  LetLoopRun();
  EXPECT_EQ(interference_.Count(), 1);
}

TEST_F(InteractionMonitorTest, CallbackMayStopTheMonitorOrThrow) {
  for (const bool throws : {false, true}) {
    InteractionMonitor* self = nullptr;
    InteractionMonitor monitor(sim_.Get(), [&] {
      self->Stop();
      if (throws) throw std::runtime_error("boom");
    });
    self = &monitor;
    monitor.Start();
    Key(platform::kWmKeyDown, platform::kVkEscape, 0, 2000);
    ASSERT_TRUE(testing::WaitUntil([&] { return sim_.MessageLoops().InputHookCount() == 0; }))
        << throws;
    EXPECT_FALSE(monitor.IsRunning());
    monitor.Start();
    EXPECT_TRUE(monitor.IsRunning());
  }
}

TEST_F(InteractionMonitorTest, FailedSetUpLeavesNothingInstalled) {
  for (const SetupFailure step :
       {SetupFailure::kApartment, SetupFailure::kKeyboardHook, SetupFailure::kMouseHook,
        SetupFailure::kTimer, SetupFailure::kWinEventHook}) {
    sim_.MessageLoops().FailSetup(step);
    EXPECT_EQ(testing::FailureCode([&] { monitor_.GetInteractionRecord(first_); }),
              "permission_missing");
    EXPECT_FALSE(monitor_.IsRunning());
    EXPECT_EQ(sim_.MessageLoops().InputHookCount(), 0u);
    EXPECT_EQ(sim_.MessageLoops().TimerCount(), 0u);
    EXPECT_EQ(sim_.MessageLoops().WinEventHookCount(), 0u);
    EXPECT_EQ(sim_.MessageLoops().ApartmentCount(), 0u);
    sim_.MessageLoops().FailSetup(step, false);
  }
  monitor_.Start();
  EXPECT_TRUE(monitor_.IsRunning());

  // One monitor holds the hooks at a time.
  InteractionMonitor other(sim_.Get(), {});
  EXPECT_EQ(testing::FailureCode([&] { other.Start(); }), "permission_missing");
  EXPECT_TRUE(monitor_.IsRunning());
}

TEST_F(InteractionMonitorTest, NoGuidLosesNoRecord) {
  for (int i = 0; i < 128; ++i) {
    monitor_.GetInteractionRecord(sim_.Windows().AddWindow(kAppPid, u"W"));
  }
  sim_.System().SetGuidFails(true);
  EXPECT_EQ(testing::FailureCode([&] { monitor_.GetInteractionRecord(first_); }),
            "capability_unavailable");
  EXPECT_EQ(monitor_.RecordCount(), kMaxInteractionRecords);
  EXPECT_TRUE(monitor_.IsRunning());
}

TEST(WindowHandleHashTest, IsFnv1aOverTheHandleBytes) {
  // FNV-1a 64 of eight zero bytes, and of 0x10000 little-endian.
  EXPECT_EQ(WindowHandleHash{}(platform::kNullWindow), 0xa8c7f832281a39c5ull);
  EXPECT_EQ(WindowHandleHash{}(static_cast<WindowHandle>(0x10000)), 0xcc3193ff3a28738cull);
}

}  // namespace
}  // namespace velmora::computer_use
