#include "safety/session_monitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>

#include "platform/sim/sim_platform.h"
#include "support/test_support.h"

namespace velmora::computer_use {
namespace {

using platform::sim::SetupFailure;
using testing::CallCounter;
using testing::WaitUntil;

class SessionMonitorTest : public ::testing::Test {
 protected:
  DesktopSessionMonitor& Monitor() {
    if (!monitor_) {
      monitor_ = std::make_unique<DesktopSessionMonitor>(
          sim_.Get(), [this] { unsafeCalls_(); },
          [this] { return CaptureSessionSnapshot(sim_.Get()); }, nullptr);
    }
    return *monitor_;
  }

  void ExpectAllReleased() {
    EXPECT_EQ(sim_.MessageLoops().HiddenWindowCount(), 0u);
    EXPECT_EQ(sim_.MessageLoops().TimerCount(), 0u);
    EXPECT_EQ(sim_.MessageLoops().WinEventHookCount(), 0u);
    EXPECT_EQ(sim_.Sessions().SessionRegistrationCount(), 0u);
    EXPECT_EQ(sim_.MessageLoops().ApartmentCount(), 0u);
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
  EXPECT_EQ(sim_.MessageLoops().HiddenWindowCount(), 1u);
  EXPECT_EQ(sim_.MessageLoops().TimerCount(), 1u);
  EXPECT_EQ(sim_.MessageLoops().WinEventHookCount(), 1u);
  EXPECT_EQ(sim_.Sessions().SessionRegistrationCount(), 1u);
  EXPECT_TRUE(Monitor().IsArmed());
  EXPECT_TRUE(Monitor().IsSessionSafe());
  // The timer keeps checking without finding anything.
  ASSERT_TRUE(
      WaitUntil([&] { return sim_.MessageLoops().DispatchedCount(platform::kWmTimer) >= 2; }));
  EXPECT_EQ(unsafeCalls_.Count(), 0);

  Monitor().Stop();
  ExpectAllReleased();
  EXPECT_FALSE(Monitor().IsArmed());
  EXPECT_FALSE(Monitor().IsSessionSafe());
  EXPECT_FALSE(Monitor().Start());  // no re-start, and no trigger
  Monitor().Stop();
  EXPECT_EQ(unsafeCalls_.Count(), 0);
}

TEST_F(SessionMonitorTest, LockLatchesUnsafeAndUnlockDoesNotClearIt) {
  ASSERT_TRUE(Monitor().Start());
  sim_.Sessions().LockSession();
  ASSERT_TRUE(unsafeCalls_.WaitFor(1));
  EXPECT_FALSE(Monitor().IsSessionSafe());
  EXPECT_FALSE(Monitor().IsArmed());

  sim_.Sessions().UnlockSession();
  ASSERT_TRUE(WaitForNotifications(2));
  EXPECT_FALSE(Monitor().IsSessionSafe());
  EXPECT_FALSE(Monitor().Start());
  EXPECT_EQ(unsafeCalls_.Count(), 1);
}

TEST_F(SessionMonitorTest, StartOnALockedSessionTriggersOnce) {
  sim_.Sessions().LockSession();
  EXPECT_FALSE(Monitor().Start());
  // The monitor thread may be the one that calls back.
  EXPECT_TRUE(unsafeCalls_.WaitFor(1));
  EXPECT_FALSE(Monitor().Start());
  EXPECT_EQ(unsafeCalls_.Count(), 1);
}

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

class SessionChangeCodeTest : public SessionMonitorTest,
                              public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(SessionChangeCodeTest, OwnSessionChangeLatchesEvenThoughTheSessionLooksFine) {
  ASSERT_TRUE(Monitor().Start());
  sim_.Sessions().SendSessionChange(GetParam(), sim_.Sessions().SessionId());
  ASSERT_TRUE(unsafeCalls_.WaitFor(1));
  EXPECT_FALSE(Monitor().IsArmed());
  EXPECT_FALSE(Monitor().IsSessionSafe());
}

INSTANTIATE_TEST_SUITE_P(CodesOneToNine, SessionChangeCodeTest, ::testing::Range(1u, 10u));

TEST_F(SessionMonitorTest, DesktopSwitchLatchesEvenBackToDefault) {
  ASSERT_TRUE(Monitor().Start());
  sim_.Sessions().SwitchInputDesktop(u"Default");
  ASSERT_TRUE(unsafeCalls_.WaitFor(1));
  EXPECT_FALSE(Monitor().IsSessionSafe());
}

TEST_F(SessionMonitorTest, ReconnectIsSeenByTheNextCheck) {
  ASSERT_TRUE(Monitor().Start());
  sim_.Sessions().Reconnect();
  // Whoever checks first (this thread or the timer) latches it.
  EXPECT_FALSE(Monitor().IsSessionSafe());
  ASSERT_TRUE(unsafeCalls_.WaitFor(1));
  EXPECT_FALSE(Monitor().IsArmed());
}

TEST_F(SessionMonitorTest, DesktopNameIgnoresLetterCase) {
  sim_.Sessions().SwitchInputDesktop(u"DEFAULT");
  EXPECT_TRUE(Monitor().Start());
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
  ExpectAllReleased();
}

TEST_F(SessionMonitorTest, FailingSnapshotsAreUnsafe) {
  monitor_ = std::make_unique<DesktopSessionMonitor>(
      sim_.Get(), [this] { unsafeCalls_(); },
      []() -> SessionSnapshot { throw std::runtime_error("no session"); }, nullptr);
  EXPECT_FALSE(Monitor().Start());
  EXPECT_TRUE(unsafeCalls_.WaitFor(1));
  Monitor().Stop();
  ExpectAllReleased();
}

TEST_F(SessionMonitorTest, ThrowingCallbackIsSwallowedAndCalledOnce) {
  std::atomic<int> calls = 0;
  monitor_ = std::make_unique<DesktopSessionMonitor>(
      sim_.Get(),
      [&calls] {
        ++calls;
        throw std::runtime_error("callback failed");
      },
      [this] { return CaptureSessionSnapshot(sim_.Get()); }, nullptr);
  sim_.Sessions().SetSessionQueryFails(true);
  EXPECT_FALSE(Monitor().Start());
  EXPECT_FALSE(Monitor().Start());
  Monitor().Stop();  // joins: a callback on the monitor thread has finished
  EXPECT_EQ(calls, 1);
}

TEST_F(SessionMonitorTest, StopFromInsideTheCallbackDoesNotDeadlock) {
  monitor_ = std::make_unique<DesktopSessionMonitor>(
      sim_.Get(),
      [this] {
        monitor_->Stop();  // on the monitor thread: must not join itself
        unsafeCalls_();
      },
      [this] { return CaptureSessionSnapshot(sim_.Get()); }, nullptr);
  ASSERT_TRUE(Monitor().Start());
  sim_.Sessions().LockSession();
  ASSERT_TRUE(unsafeCalls_.WaitFor(1));
  monitor_.reset();  // joins from this thread
  ExpectAllReleased();
}

TEST_F(SessionMonitorTest, CustomRegistrarIsUsedAndItsRefusalIsUnsafe) {
  int registrations = 0;
  monitor_ = std::make_unique<DesktopSessionMonitor>(
      sim_.Get(), [this] { unsafeCalls_(); }, [this] { return CaptureSessionSnapshot(sim_.Get()); },
      [&registrations](platform::WindowHandle window) {
        ++registrations;
        return window == platform::kNullWindow;  // refuses every real window
      });
  EXPECT_FALSE(Monitor().Start());
  EXPECT_EQ(registrations, 1);
  EXPECT_EQ(unsafeCalls_.Count(), 1);
}

class SetupFailureTest : public SessionMonitorTest,
                         public ::testing::WithParamInterface<SetupFailure> {};

TEST_P(SetupFailureTest, FailedSetUpIsUnsafeAndReleasesWhatWasAcquired) {
  sim_.MessageLoops().FailSetup(GetParam());
  EXPECT_FALSE(Monitor().Start());
  EXPECT_EQ(unsafeCalls_.Count(), 1);
  EXPECT_FALSE(Monitor().IsArmed());
  // The thread ends by itself after a failed set-up.
  ASSERT_TRUE(WaitUntil([&] { return sim_.MessageLoops().HiddenWindowCount() == 0; }));
  Monitor().Stop();
  ExpectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(EveryStep, SetupFailureTest,
                         ::testing::Values(SetupFailure::kApartment, SetupFailure::kWindowClass,
                                           SetupFailure::kWindow,
                                           SetupFailure::kSessionNotification,
                                           SetupFailure::kWinEventHook, SetupFailure::kTimer));

TEST_F(SessionMonitorTest, ExistingWindowClassIsReused) {
  ASSERT_EQ(sim_.MessageLoops().RegisterWindowClass(kSessionMonitorClassName),
            platform::ClassRegistration::kRegistered);
  EXPECT_TRUE(Monitor().Start());
}

TEST_F(SessionMonitorTest, StopBeforeStartAndConcurrentStops) {
  Monitor().Stop();
  EXPECT_FALSE(Monitor().Start());
  EXPECT_EQ(unsafeCalls_.Count(), 0);

  auto second = std::make_unique<DesktopSessionMonitor>(
      sim_.Get(), [this] { unsafeCalls_(); }, [this] { return CaptureSessionSnapshot(sim_.Get()); },
      nullptr);
  ASSERT_TRUE(second->Start());
  std::thread a([&] { second->Stop(); });
  std::thread b([&] { second->Stop(); });
  a.join();
  b.join();
  second.reset();
  ExpectAllReleased();
}

// --- Snapshots

class SnapshotTest : public SessionMonitorTest {
 protected:
  SessionSnapshot Capture() { return CaptureSessionSnapshot(sim_.Get()); }
};

TEST_F(SnapshotTest, GoodSessionIsReadInFull) {
  const SessionSnapshot snapshot = Capture();
  EXPECT_TRUE(snapshot.IsGood());
  EXPECT_EQ(snapshot.sessionId, sim_.Sessions().SessionId());
  EXPECT_NE(snapshot.logonTime, 0);
  EXPECT_NE(snapshot.connectTime, 0);
}

TEST_F(SnapshotTest, ShortBufferWrongLevelOrFailedQueryLeaveTheSessionUnread) {
  sim_.Sessions().SetSessionInfoShape(231, 1);
  SessionSnapshot snapshot = Capture();
  EXPECT_EQ(snapshot.sessionId, 0u);
  EXPECT_FALSE(snapshot.lockStateKnown);
  EXPECT_EQ(snapshot.connectTime, 0);
  EXPECT_TRUE(snapshot.inputDesktopIsDefault);  // still asked

  sim_.Sessions().SetSessionInfoShape(232, 2);
  EXPECT_EQ(Capture().sessionId, 0u);
  sim_.Sessions().SetSessionInfoShape(232, 1);
  EXPECT_TRUE(Capture().IsGood());

  sim_.Sessions().SetSessionQueryFails(true);
  snapshot = Capture();
  EXPECT_EQ(snapshot.sessionId, 0u);
  EXPECT_FALSE(snapshot.inputDesktopIsDefault);  // not examined
}

TEST_F(SnapshotTest, NoSessionGivesTheZeroSnapshot) {
  sim_.Sessions().SetProcessSessionIdFails(true);
  EXPECT_FALSE(Capture().inputDesktopIsDefault);
  sim_.Sessions().SetProcessSessionIdFails(false);
  sim_.Sessions().SetProcessSession(sim_.Get().processes.CurrentProcessId(), 0);
  EXPECT_EQ(Capture().sessionId, 0u);
  EXPECT_FALSE(Capture().inputDesktopIsDefault);
}

TEST_F(SnapshotTest, LockFlagsAndConnectState) {
  sim_.Sessions().SetSessionFlags(0);
  SessionSnapshot snapshot = Capture();
  EXPECT_TRUE(snapshot.lockStateKnown);
  EXPECT_FALSE(snapshot.unlocked);
  sim_.Sessions().SetSessionFlags(-1);  // lock state unknown
  snapshot = Capture();
  EXPECT_FALSE(snapshot.lockStateKnown);
  EXPECT_FALSE(snapshot.unlocked);
  sim_.Sessions().SetSessionFlags(1);
  sim_.Sessions().SetSessionState(1);  // WTSConnected: not the active session
  snapshot = Capture();
  EXPECT_FALSE(snapshot.active);
  EXPECT_FALSE(snapshot.IsGood());
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
