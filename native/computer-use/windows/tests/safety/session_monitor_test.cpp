#include "safety/session_monitor.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/sim/sim_platform.h"
#include "support/test_support.h"

namespace velmora::computer_use {
namespace {

using platform::sim::SetupFailure;
using platform::sim::SimSessions;
using testing::CallCounter;
using testing::WaitUntil;

class SessionMonitorTest : public ::testing::Test {
 protected:
  // A monitor with the ordinary callback and snapshots unless told otherwise.
  void Create(DesktopSessionMonitor::UnsafeCallback onUnsafe = {},
              DesktopSessionMonitor::SnapshotProvider snapshots = {},
              DesktopSessionMonitor::SessionNotificationRegistrar registrar = nullptr) {
    if (!onUnsafe) onUnsafe = [this] { unsafeCalls_(); };
    if (!snapshots) snapshots = [this] { return CaptureSessionSnapshot(sim_.Get()); };
    monitor_ = std::make_unique<DesktopSessionMonitor>(sim_.Get(), std::move(onUnsafe),
                                                       std::move(snapshots), std::move(registrar));
  }
  DesktopSessionMonitor& Monitor() {
    if (!monitor_) Create();
    return *monitor_;
  }

  // Every resource the monitor thread holds while it runs: all of them, or none.
  void ExpectHeld(std::size_t count) {
    EXPECT_EQ(sim_.MessageLoops().HiddenWindowCount(), count);
    EXPECT_EQ(sim_.MessageLoops().TimerCount(), count);
    EXPECT_EQ(sim_.MessageLoops().WinEventHookCount(), count);
    EXPECT_EQ(sim_.Sessions().SessionRegistrationCount(), count);
    EXPECT_EQ(sim_.MessageLoops().ApartmentCount(), count);
  }

  void CountAndThrow() {
    unsafeCalls_();
    throw std::runtime_error("callback failed");
  }

  // Waits until the monitor thread has handled `count` session notifications in all.
  bool WaitForNotifications(std::size_t count) {
    return WaitUntil([&] {
      return sim_.MessageLoops().DispatchedCount(platform::kWmWtsSessionChange) >= count;
    });
  }

  testing::EmptyInput input_;
  testing::CapturedOutput output_;
  platform::sim::SimPlatform sim_{input_, output_};
  CallCounter unsafeCalls_;
  std::unique_ptr<DesktopSessionMonitor> monitor_;
};

TEST_F(SessionMonitorTest, SafeDesktopStartsArmedAndReleasesEverythingOnStop) {
  EXPECT_FALSE(Monitor().IsArmed());
  EXPECT_FALSE(Monitor().IsSessionSafe());  // not started yet
  ASSERT_TRUE(Monitor().Start());
  EXPECT_TRUE(Monitor().Start());  // one thread: still one window
  ExpectHeld(1);
  EXPECT_TRUE(Monitor().IsArmed());
  EXPECT_TRUE(Monitor().IsSessionSafe());
  // The timer keeps checking without finding anything.
  ASSERT_TRUE(
      WaitUntil([&] { return sim_.MessageLoops().DispatchedCount(platform::kWmTimer) >= 2; }));
  EXPECT_EQ(unsafeCalls_.Count(), 0);

  Monitor().Stop();
  ExpectHeld(0);
  EXPECT_FALSE(Monitor().IsArmed());
  EXPECT_FALSE(Monitor().IsSessionSafe());
  EXPECT_FALSE(Monitor().Start());  // no re-start, and no trigger
  Monitor().Stop();
  EXPECT_EQ(unsafeCalls_.Count(), 0);
}

struct LatchRow {
  std::string name;
  std::function<void(SimSessions&)> event;
  std::size_t notifications;  // session notifications the event sends
  bool seenAtOnce;            // the session itself looks different: any check latches it
};

std::vector<LatchRow> LatchRows() {
  std::vector<LatchRow> rows = {
      {"LockThenUnlock",
       [](SimSessions& s) {
         s.LockSession();
         s.UnlockSession();
       },
       2, false},
      {"DesktopSwitchBackToDefault", [](SimSessions& s) { s.SwitchInputDesktop(u"Default"); }, 0,
       false},
      // No notification: whoever checks first (a caller or the timer) latches it.
      {"Reconnect", [](SimSessions& s) { s.Reconnect(); }, 0, true}};
  // Every change to the own session, even though the session still looks fine.
  for (std::uint32_t code = 1; code <= 9; ++code) {
    rows.push_back({"SessionChange" + std::to_string(code),
                    [code](SimSessions& s) { s.SendSessionChange(code, s.SessionId()); }, 1,
                    false});
  }
  return rows;
}

class LatchTest : public SessionMonitorTest, public ::testing::WithParamInterface<LatchRow> {};

TEST_P(LatchTest, LatchesUnsafeOnceAndItStays) {
  ASSERT_TRUE(Monitor().Start());
  GetParam().event(sim_.Sessions());
  EXPECT_TRUE(!GetParam().seenAtOnce || !Monitor().IsSessionSafe());
  ASSERT_TRUE(unsafeCalls_.WaitFor(1));
  EXPECT_FALSE(Monitor().IsSessionSafe());
  EXPECT_FALSE(Monitor().IsArmed());
  // Once an ignored notification after the event's own is handled, the latch still holds.
  sim_.Sessions().SendSessionChange(platform::sim::kWtsSessionCreate, sim_.Sessions().SessionId());
  ASSERT_TRUE(WaitForNotifications(GetParam().notifications + 1));
  EXPECT_FALSE(Monitor().IsSessionSafe());
  EXPECT_FALSE(Monitor().Start());
  EXPECT_EQ(unsafeCalls_.Count(), 1);
}

INSTANTIATE_TEST_SUITE_P(Events, LatchTest, ::testing::ValuesIn(LatchRows()),
                         [](const auto& info) { return info.param.name; });

TEST_F(SessionMonitorTest, NotificationsOfOtherSessionsAndOtherCodesAreIgnored) {
  ASSERT_TRUE(Monitor().Start());
  const std::uint32_t own = sim_.Sessions().SessionId();
  sim_.Sessions().SendSessionChange(platform::sim::kWtsSessionLock, own + 1);
  sim_.Sessions().SendSessionChange(0, own);
  sim_.Sessions().SendSessionChange(platform::sim::kWtsSessionCreate, own);
  sim_.Sessions().SendSessionChange(11, own);
  ASSERT_TRUE(WaitForNotifications(4));
  EXPECT_TRUE(Monitor().IsArmed());
  EXPECT_TRUE(Monitor().IsSessionSafe());
  EXPECT_EQ(unsafeCalls_.Count(), 0);
}

TEST_F(SessionMonitorTest, LoopEndingByItselfCountsAsUnsafe) {
  ASSERT_TRUE(Monitor().Start());
  ASSERT_TRUE(sim_.MessageLoops().PostQuitToWindowThread(kSessionMonitorClassName));
  ASSERT_TRUE(unsafeCalls_.WaitFor(1));
  ASSERT_TRUE(WaitUntil([&] { return sim_.MessageLoops().HiddenWindowCount() == 0; }));
  EXPECT_FALSE(Monitor().IsArmed());
  EXPECT_FALSE(Monitor().Start());
  EXPECT_EQ(unsafeCalls_.Count(), 1);
  Monitor().Stop();
  ExpectHeld(0);
}

TEST_F(SessionMonitorTest, StopFromInsideTheCallbackDoesNotDeadlock) {
  Create([this] {
    monitor_->Stop();  // on the monitor thread: must not join itself
    unsafeCalls_();
  });
  ASSERT_TRUE(Monitor().Start());
  sim_.Sessions().LockSession();
  ASSERT_TRUE(unsafeCalls_.WaitFor(1));
  monitor_.reset();  // joins from this thread
  ExpectHeld(0);
}

// How a start finds the desktop unsafe; a failed set-up leaves no monitor thread running.
struct UnsafeStartRow {
  std::string name;
  std::function<void(platform::sim::SimPlatform&)> arrange;
  DesktopSessionMonitor::SnapshotProvider snapshots = {};
  DesktopSessionMonitor::SessionNotificationRegistrar registrar = {};
  bool setUpFails = true;
};

std::vector<UnsafeStartRow> UnsafeStartRows() {
  const auto refuse = [](platform::WindowHandle w) { return w == platform::kNullWindow; };
  const auto throwing = []() -> SessionSnapshot { throw std::runtime_error("no session"); };
  std::vector<UnsafeStartRow> rows = {
      {"Locked", [](auto& p) { p.Sessions().LockSession(); }, {}, {}, false},
      {"SnapshotsThrow", {}, throwing, {}, false},
      // Refuses every real window: only the custom registrar makes the start fail.
      {"CustomRegistrarRefuses", {}, {}, refuse}};
  for (const SetupFailure step :
       {SetupFailure::kApartment, SetupFailure::kWindowClass, SetupFailure::kWindow,
        SetupFailure::kSessionNotification, SetupFailure::kWinEventHook, SetupFailure::kTimer}) {
    rows.push_back({"SetUpStep" + std::to_string(static_cast<int>(step)),
                    [step](auto& p) { p.MessageLoops().FailSetup(step); }});
  }
  return rows;
}

class UnsafeStartTest : public SessionMonitorTest,
                        public ::testing::WithParamInterface<UnsafeStartRow> {};

TEST_P(UnsafeStartTest, CallsBackOnceAndReleasesEverything) {
  const UnsafeStartRow& row = GetParam();
  if (row.arrange) row.arrange(sim_);
  // A throwing callback is swallowed and never called again.
  Create([this] { CountAndThrow(); }, row.snapshots, row.registrar);
  EXPECT_FALSE(Monitor().Start());
  EXPECT_FALSE(Monitor().IsArmed());
  // Without a running monitor thread, Start itself has called back.
  if (row.setUpFails) {
    EXPECT_EQ(unsafeCalls_.Count(), 1);
  }
  ASSERT_TRUE(unsafeCalls_.WaitFor(1));
  EXPECT_FALSE(Monitor().Start());
  if (row.setUpFails) {
    ASSERT_TRUE(WaitUntil([&] { return sim_.MessageLoops().HiddenWindowCount() == 0; }));
  }
  Monitor().Stop();  // joins: a callback on the monitor thread has finished
  EXPECT_EQ(unsafeCalls_.Count(), 1);
  ExpectHeld(0);
}

INSTANTIATE_TEST_SUITE_P(Causes, UnsafeStartTest, ::testing::ValuesIn(UnsafeStartRows()),
                         [](const auto& info) { return info.param.name; });

TEST_F(SessionMonitorTest, ExistingWindowClassIsReused) {
  ASSERT_EQ(sim_.MessageLoops().RegisterWindowClass(kSessionMonitorClassName),
            platform::ClassRegistration::kRegistered);
  EXPECT_TRUE(Monitor().Start());
}

TEST_F(SessionMonitorTest, StopBeforeStartAndConcurrentStops) {
  Monitor().Stop();
  EXPECT_FALSE(Monitor().Start());
  EXPECT_EQ(unsafeCalls_.Count(), 0);

  Create();
  ASSERT_TRUE(Monitor().Start());
  std::thread a([&] { Monitor().Stop(); });
  std::thread b([&] { Monitor().Stop(); });
  a.join();
  b.join();
  monitor_.reset();
  ExpectHeld(0);
}

// --- Snapshots

enum SnapshotField { kRead = 1, kLockKnown = 2, kUnlocked = 4, kActive = 8, kDefaultDesktop = 16 };
constexpr int kGood = kRead | kLockKnown | kUnlocked | kActive | kDefaultDesktop;

int FieldsOf(const SessionSnapshot& s) {
  const bool read = s.sessionId != 0 || s.logonTime != 0 || s.connectTime != 0;
  return (read ? kRead : 0) | (s.lockStateKnown ? kLockKnown : 0) | (s.unlocked ? kUnlocked : 0) |
         (s.active ? kActive : 0) | (s.inputDesktopIsDefault ? kDefaultDesktop : 0);
}

TEST(SessionSnapshotTest, ReadsOnlyWhatTheSessionAnswers) {
  using platform::sim::SimPlatform;
  const std::tuple<const char*, std::function<void(SimPlatform&)>, int> rows[] = {
      {"Good", [](SimPlatform&) {}, kGood},
      {"DesktopNameInCapitals", [](auto& p) { p.Sessions().SwitchInputDesktop(u"DEFAULT"); },
       kGood},
      // The extended information needs 232 bytes at level 1; the desktop is still asked.
      {"ShortBuffer", [](auto& p) { p.Sessions().SetSessionInfoShape(231, 1); }, kDefaultDesktop},
      {"WrongLevel", [](auto& p) { p.Sessions().SetSessionInfoShape(232, 2); }, kDefaultDesktop},
      {"ExactBuffer", [](auto& p) { p.Sessions().SetSessionInfoShape(232, 1); }, kGood},
      // Nothing read: the desktop is not examined either.
      {"QueryFails", [](auto& p) { p.Sessions().SetSessionQueryFails(true); }, 0},
      {"NoProcessSession", [](auto& p) { p.Sessions().SetProcessSessionIdFails(true); }, 0},
      {"SessionZero",
       [](auto& p) { p.Sessions().SetProcessSession(p.Get().processes.CurrentProcessId(), 0); }, 0},
      {"Locked", [](auto& p) { p.Sessions().SetSessionFlags(0); }, kGood & ~kUnlocked},
      {"LockStateUnknown", [](auto& p) { p.Sessions().SetSessionFlags(-1); },
       kGood & ~kLockKnown & ~kUnlocked},
      // WTSConnected: not the active session.
      {"Connected", [](auto& p) { p.Sessions().SetSessionState(1); }, kGood & ~kActive}};
  for (const auto& [name, change, fields] : rows) {
    testing::EmptyInput input;
    testing::CapturedOutput output;
    SimPlatform sim(input, output);
    change(sim);
    const SessionSnapshot snapshot = CaptureSessionSnapshot(sim.Get());
    EXPECT_EQ(FieldsOf(snapshot), fields) << name;
    EXPECT_EQ(snapshot.IsGood(), fields == kGood) << name;
    if ((fields & kRead) == 0) continue;
    EXPECT_EQ(snapshot.sessionId, sim.Sessions().SessionId()) << name;
    EXPECT_TRUE(snapshot.logonTime != 0 && snapshot.connectTime != 0) << name;
  }
}

TEST(DesktopName, ComparedUpToTheNullIgnoringCase) {
  EXPECT_TRUE(IsDefaultDesktopName(u"Default"));
  EXPECT_TRUE(IsDefaultDesktopName(u"dEFAULT"));
  EXPECT_TRUE(IsDefaultDesktopName(std::u16string(u"Default\0junk", 12)));
  EXPECT_FALSE(IsDefaultDesktopName(u"Winlogon"));
  EXPECT_FALSE(IsDefaultDesktopName(u"Default2"));
  EXPECT_FALSE(IsDefaultDesktopName(u"Defaul"));
  EXPECT_FALSE(IsDefaultDesktopName(u""));
}

}  // namespace
}  // namespace velmora::computer_use
