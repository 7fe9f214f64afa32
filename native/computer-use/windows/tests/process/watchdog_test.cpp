#include "process/parent_watchdog.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "platform/sim/sim_process.h"
#include "support/test_support.h"

namespace velmora::computer_use {
namespace {

using std::chrono::milliseconds;
using testing::CallCounter;

// A child process that lives until its pipe is closed or it is killed.
class ChildProcess {
 public:
  ChildProcess() {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[1]);
      char byte;
      [[maybe_unused]] const ssize_t n = read(fds[0], &byte, 1);
      _exit(0);
    }
    close(fds[0]);
    release_ = fds[1];
  }
  ~ChildProcess() {
    End();
    Reap();
  }
  platform::ProcessId Pid() const { return static_cast<platform::ProcessId>(pid_); }
  void End() {
    if (release_ >= 0) close(release_);
    release_ = -1;
  }
  void Reap() {
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
};

TEST(ParentWatchdog, HeartbeatsWhileTheParentLivesThenReportsItsEnd) {
  platform::sim::PosixProcessApi processes;
  ParentWatchdog watchdog(processes);
  ChildProcess parent;
  CallCounter heartbeats;
  CallCounter exits;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(watchdog.Start(parent.Pid(), std::ref(heartbeats), std::ref(exits)));
  ASSERT_TRUE(heartbeats.WaitFor(2, milliseconds(4000)));
  // About once a second, not faster.
  EXPECT_GE(std::chrono::steady_clock::now() - started, milliseconds(1900));
  EXPECT_EQ(exits.Count(), 0);

  const auto ended = std::chrono::steady_clock::now();
  parent.End();
  ASSERT_TRUE(exits.WaitFor(1, milliseconds(2000)));
  EXPECT_LT(std::chrono::steady_clock::now() - ended, milliseconds(1500));
  watchdog.Stop();
  EXPECT_EQ(exits.Count(), 1);
}

TEST(ParentWatchdog, ReapedParentIsNoticed) {
  platform::sim::PosixProcessApi processes;
  ParentWatchdog watchdog(processes);
  ChildProcess parent;
  CallCounter exits;
  ASSERT_TRUE(watchdog.Start(
      parent.Pid(), [] {}, std::ref(exits)));
  parent.End();
  parent.Reap();
  EXPECT_TRUE(exits.WaitFor(1, milliseconds(2000)));
}

TEST(ParentWatchdog, StopEndsTheThreadWithoutCallbacks) {
  platform::sim::PosixProcessApi processes;
  ChildProcess parent;
  CallCounter exits;
  {
    ParentWatchdog watchdog(processes);
    ASSERT_TRUE(watchdog.Start(
        parent.Pid(), [] {}, std::ref(exits)));
    const auto stopping = std::chrono::steady_clock::now();
    watchdog.Stop();
    // The stop event wakes the wait; it does not run out its second.
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, milliseconds(500));
    watchdog.Stop();
    // A second start replaces the first.
    ASSERT_TRUE(watchdog.Start(
        parent.Pid(), [] {}, std::ref(exits)));
    ASSERT_TRUE(watchdog.Start(
        parent.Pid(), [] {}, std::ref(exits)));
  }
  parent.End();
  parent.Reap();
  EXPECT_EQ(exits.Count(), 0);
}

TEST(ParentWatchdog, UnopenableParentFailsToStart) {
  platform::sim::PosixProcessApi processes;
  ParentWatchdog watchdog(processes);
  ChildProcess gone;
  const platform::ProcessId pid = gone.Pid();
  gone.End();
  gone.Reap();
  EXPECT_FALSE(watchdog.Start(
      pid, [] {}, [] {}));
  EXPECT_FALSE(watchdog.Start(
      0x7FFFFFF0, [] {}, [] {}));
  watchdog.Stop();
}

}  // namespace
}  // namespace velmora::computer_use
