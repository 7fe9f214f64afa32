// The interaction monitor's real hooks and the application lookup against a separate fixture
// program, with xdotool on the X display playing the user.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "observe/uia_observer.h"
#include "safety/interaction_monitor.h"
#include "service/helper_service.h"
#include "win32/win32_fixture.h"
#include "win32/win32_programs.h"

namespace velmora::computer_use {
namespace {

using platform::win32::FromHwnd;
using std::chrono::milliseconds;

TEST_F(FixtureProgram, ApplicationLookupTellsTheWindowKindsApart) {
  ComApartment apartment;
  ASSERT_TRUE(apartment.Entered());
  platform::Platform platform = SimulatedSessionPlatform();
  const Observation described = DescribeWindow(platform, FromHwnd(top_));
  EXPECT_EQ(described.appName, u"computer_use_window_fixture.exe");
  UiaObserver observer(platform);
  const auto titles = [&](bool activationOnly) {
    std::vector<std::u16string> found;
    for (const Observation& window :
         observer.FindApplicationWindows(described.appIdentity, "", activationOnly)) {
      found.push_back(window.windowTitle);
    }
    std::sort(found.begin(), found.end());
    return found;
  };
  // Hidden windows never; minimized ones only to activate; owned ones only to observe.
  EXPECT_EQ(titles(false), (std::vector<std::u16string>{u"Fixture Dialog", u"Velmora Fixture"}));
  EXPECT_EQ(titles(true), (std::vector<std::u16string>{u"Fixture Minimized", u"Velmora Fixture"}));
}

TEST_F(FixtureProgram, HooksCountTheUserAndOtherProgramsButNotTheHelper) {
  platform::Platform platform = RealPlatform();
  InteractionMonitor monitor(platform, nullptr);
  const platform::WindowHandle window = FromHwnd(top_);
  const InteractionRecord record = monitor.GetInteractionRecord(window);
  const POINT button = Center(button_);

  // The user's click: both events move the desktop's generation, the press the window's.
  std::uint64_t generation = monitor.InteractionGeneration();
  ASSERT_EQ(Xdotool(ClickAt(button)), 0);
  ASSERT_TRUE(
      testing::WaitUntil([&] { return monitor.InteractionGeneration() == generation + 2; }));
  EXPECT_TRUE(monitor.IsRecordCurrent(window, record.id, 1));
  EXPECT_TRUE(monitor.UserInteractedWith(window, generation));
  generation += 2;

  // The helper's own click and key, then a key of the user's: only the latter counts.
  using Kind = platform::InputEvent::Kind;
  SetCursorPos(button.x, button.y);
  EXPECT_EQ(injection_.SendInput(
                {{.kind = Kind::kMouse,
                  .flags = platform::kMouseEventLeftDown,
                  .extraInfo = kOwnInputMarker},
                 {.kind = Kind::kMouse,
                  .flags = platform::kMouseEventLeftUp,
                  .extraInfo = kOwnInputMarker},
                 {.kind = Kind::kKeyboard, .virtualKey = 'Q', .extraInfo = kOwnInputMarker},
                 {.kind = Kind::kKeyboard,
                  .virtualKey = 'Q',
                  .flags = platform::kKeyEventKeyUp,
                  .extraInfo = kOwnInputMarker}}),
            4u);
  ASSERT_EQ(FocusByTitle("Velmora Fixture"), 0);
  ASSERT_EQ(Xdotool({"key", "a"}), 0);
  ASSERT_TRUE(
      testing::WaitUntil([&] { return monitor.InteractionGeneration() >= generation + 2; }));
  EXPECT_EQ(monitor.InteractionGeneration(), generation + 2);
  EXPECT_TRUE(monitor.IsRecordCurrent(window, record.id, 2));
  generation += 2;

  // Another program's injected click counts for the window only.
  Child injector(
      FixtureCommand(L" --inject " + std::to_wstring(button.x) + L" " + std::to_wstring(button.y)));
  ASSERT_EQ(injector.Wait(), 0);
  ASSERT_TRUE(testing::WaitUntil([&] { return monitor.IsRecordCurrent(window, record.id, 3); }));
  ASSERT_EQ(Xdotool({"key", "b"}), 0);  // the user's key after it, to know the injection was seen
  ASSERT_TRUE(
      testing::WaitUntil([&] { return monitor.InteractionGeneration() >= generation + 2; }));
  EXPECT_EQ(monitor.InteractionGeneration(), generation + 2);
  EXPECT_TRUE(monitor.IsRecordCurrent(window, record.id, 4));

  // A stopped monitor forgets its records. Closing the window the user touched last drops its
  // record and moves the generation on.
  monitor.Stop();
  const InteractionRecord renewed = monitor.GetInteractionRecord(window);
  EXPECT_NE(renewed.id, record.id);
  generation = monitor.InteractionGeneration();
  ASSERT_EQ(Xdotool(ClickAt(button)), 0);
  ASSERT_TRUE(
      testing::WaitUntil([&] { return monitor.InteractionGeneration() == generation + 2; }));
  PostMessageW(top_, WM_CLOSE, 0, 0);
  ASSERT_TRUE(testing::WaitUntil([&] { return monitor.RecordCount() == 0; }));
  EXPECT_EQ(monitor.InteractionGeneration(), generation + 3);
  EXPECT_FALSE(monitor.IsRecordCurrent(window, renewed.id, 1));
}

// Escape held by the user while an action of the helper holds Control down, as the service wires
// the monitor: the key is released, the monitor stops and the parent hears of it once.
TEST_F(FixtureProgram, EscapeHeldDuringAChordStopsEverythingOnce) {
  ComApartment apartment;
  ASSERT_TRUE(apartment.Entered());
  platform::Platform platform = SimulatedSessionPlatform();
  FrameWriter writer(output_);
  HelperService service(platform, writer);
  service.Interactions().GetInteractionRecord(FromHwnd(top_));
  ASSERT_EQ(FocusByTitle("Velmora Fixture"), 0);

  // Control goes down; the chord's continuation then waits, as a paused action does, until the
  // stop, and ends the action.
  std::atomic<bool> acted{true};
  int asked = 0;
  std::jthread action([&] {
    acted = service.Input().Act(
        Json{{"kind", "key"}, {"key", "B"}, {"modifiers", Json::array({"control"})}}, nullptr,
        std::nullopt, true, [&] {
          if (++asked <= 2) return true;
          testing::WaitUntil([&] { return StopEvents(output_) > 0; }, milliseconds(10000));
          return false;
        });
  });
  ASSERT_TRUE(testing::WaitUntil(
      [&] { return service.Input().HeldKeys() == std::set<std::uint32_t>{VK_CONTROL}; }));
  EXPECT_NE(GetAsyncKeyState(VK_CONTROL) & 0x8000, 0);

  const std::optional<std::chrono::steady_clock::duration> held = HoldEscapeUntilStopped(output_);
  action.join();
  ASSERT_TRUE(held);
  EXPECT_GE(*held, milliseconds(1900));
  EXPECT_FALSE(acted);
  EXPECT_TRUE(service.Input().HeldKeys().empty());
  EXPECT_TRUE(testing::WaitUntil([] { return (GetAsyncKeyState(VK_CONTROL) & 0x8000) == 0; }));
  EXPECT_FALSE(service.Interactions().IsRunning());
  EXPECT_EQ(output_.JsonFrames(), std::vector<Json>{testing::EmergencyStopEvent()});
}

// This test's own key presses, told apart by their marker, counted per hook.
constexpr std::uintptr_t kHookTestMarker = 0x484F4F4B;
std::atomic<int> firstHookPresses{0};
std::atomic<int> secondHookPresses{0};

void CountFirstHookPress(const platform::KeyboardHookEvent& event) {
  if (event.extraInfo == kHookTestMarker && event.message == WM_KEYDOWN) ++firstHookPresses;
}
void CountSecondHookPress(const platform::KeyboardHookEvent& event) {
  if (event.extraInfo == kHookTestMarker && event.message == WM_KEYDOWN) ++secondHookPresses;
}

TEST_F(Win32Fixture, KeyboardHooksOfTwoThreadsEachSeeTheKeyAndFreeTheirSlots) {
  std::atomic<int> attempted{0};
  std::atomic<int> installed{0};
  std::atomic<std::uint32_t> threadIds[2] = {0, 0};
  // Holds one hook and pumps this thread's messages until WM_QUIT.
  const auto holdHook = [&](int index, platform::KeyboardHookCallback callback) {
    loops_.EnsureMessageQueue();
    threadIds[index] = loops_.CurrentThreadId();
    const platform::InputHookId hook = loops_.SetKeyboardHook(callback);
    if (hook != 0) ++installed;
    ++attempted;
    platform::WindowMessage message;
    while (hook != 0 && loops_.GetMessage(message) > 0) loops_.DispatchMessage(message);
    loops_.UnhookInput(hook);
  };
  std::thread first(holdHook, 0, &CountFirstHookPress);
  std::thread second(holdHook, 1, &CountSecondHookPress);
  const bool bothInstalled = testing::WaitUntil([&] { return attempted == 2; }) && installed == 2;
  bool bothSaw = false;
  if (bothInstalled) {
    INPUT keys[2]{};
    keys[0].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = 'Q';
    keys[0].ki.dwExtraInfo = kHookTestMarker;
    keys[1] = keys[0];
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    EXPECT_EQ(SendInput(2, keys, sizeof(INPUT)), 2u);
    bothSaw = testing::WaitUntil([] { return firstHookPresses > 0 && secondHookPresses > 0; });
  }
  for (const std::atomic<std::uint32_t>& id : threadIds)
    loops_.PostThreadMessage(id, WM_QUIT, 0, 0);
  first.join();
  second.join();
  ASSERT_TRUE(bothInstalled);
  EXPECT_TRUE(bothSaw);
  EXPECT_EQ(firstHookPresses, 1);
  EXPECT_EQ(secondHookPresses, 1);

  // Both slots were freed: every slot can be claimed again, and no more.
  std::vector<platform::InputHookId> hooks;
  for (std::size_t slot = 0; slot < platform::win32::kInputHookSlotsPerKind; ++slot) {
    hooks.push_back(loops_.SetKeyboardHook(&CountFirstHookPress));
    EXPECT_NE(hooks.back(), 0u) << slot;
  }
  EXPECT_EQ(loops_.SetKeyboardHook(&CountFirstHookPress), 0u);
  for (const platform::InputHookId hook : hooks) loops_.UnhookInput(hook);
}

}  // namespace
}  // namespace velmora::computer_use
