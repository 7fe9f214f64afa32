#include "process/parent_watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "helper_client.h"
#include "platform/sim/sim_process.h"
#include "support/test_support.h"

namespace velmora::computer_use {
namespace {

using client::HelperProcess;
using std::chrono::milliseconds;
using testing::CallCounter;

class ParentWatchdogTest : public ::testing::Test {
 protected:
  // Watches the parent stand-in, counting heartbeats and its end.
  bool Start(ParentWatchdog& watchdog) {
    return watchdog.Start(static_cast<platform::ProcessId>(parent_->Pid()), std::ref(heartbeats_),
                          std::ref(exits_));
  }
  void EndParent() {
    parent_->CloseInput();
    ASSERT_EQ(parent_->WaitExit(milliseconds(5000)), 0);
  }

  platform::sim::PosixProcessApi processes_;
  // A parent stand-in: `cat` lives until its input is closed.
  std::unique_ptr<HelperProcess> parent_ = HelperProcess::Launch("/bin/cat", {});
  CallCounter heartbeats_;
  CallCounter exits_;
  ParentWatchdog watchdog_{processes_};
};

TEST_F(ParentWatchdogTest, HeartbeatsWhileTheParentLivesThenReportsItsEnd) {
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(Start(watchdog_));
  ASSERT_TRUE(heartbeats_.WaitFor(2, milliseconds(4000)));
  // About once a second, not faster.
  EXPECT_GE(std::chrono::steady_clock::now() - started, milliseconds(1900));
  EXPECT_EQ(exits_.Count(), 0);

  // Ended but not yet reaped.
  const auto ended = std::chrono::steady_clock::now();
  parent_->CloseInput();
  ASSERT_TRUE(exits_.WaitFor(1, milliseconds(2000)));
  EXPECT_LT(std::chrono::steady_clock::now() - ended, milliseconds(1500));
  watchdog_.Stop();
  EXPECT_EQ(exits_.Count(), 1);
}

TEST_F(ParentWatchdogTest, ReapedParentIsNoticed) {
  ASSERT_TRUE(Start(watchdog_));
  EndParent();
  EXPECT_TRUE(exits_.WaitFor(1, milliseconds(2000)));
}

TEST_F(ParentWatchdogTest, StopEndsTheThreadWithoutCallbacks) {
  {
    ParentWatchdog watchdog(processes_);
    ASSERT_TRUE(Start(watchdog));
    const auto stopping = std::chrono::steady_clock::now();
    watchdog.Stop();
    // The stop event wakes the wait; it does not run out its second.
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, milliseconds(500));
    watchdog.Stop();
    // A second start replaces the first.
    ASSERT_TRUE(Start(watchdog));
    ASSERT_TRUE(Start(watchdog));
  }
  EndParent();
  EXPECT_EQ(exits_.Count(), 0);
}

TEST_F(ParentWatchdogTest, UnopenableParentFailsToStart) {
  EndParent();
  EXPECT_FALSE(Start(watchdog_));
  EXPECT_FALSE(watchdog_.Start(
      0x7FFFFFF0, [] {}, [] {}));
  watchdog_.Stop();
}

}  // namespace
}  // namespace velmora::computer_use
