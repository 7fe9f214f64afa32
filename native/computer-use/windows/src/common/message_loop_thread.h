// The thread of a component that runs a message loop of its own. Hooks, timers, win events and
// hidden windows deliver on the thread that made them, so each such component owns one: the
// thread gets its message queue first, the component's set-up reports whether it worked and the
// starter waits for that report; any thread may ask the loop to end; the thread is joined unless
// the caller is the thread itself.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/message_loop.h"

namespace velmora::computer_use {

class MessageLoopThread {
 public:
  // Runs on the new thread: sets up, calls ReportReady, runs the loop, releases what it set up.
  using Body = std::function<void(MessageLoopThread& thread)>;
  // Sees each message before it is dispatched; answering false ends the loop.
  using MessageFilter = std::function<bool(const platform::WindowMessage& message)>;

  explicit MessageLoopThread(platform::MessageLoopApi& loops) : loops_(loops) {}
  MessageLoopThread(const MessageLoopThread&) = delete;
  MessageLoopThread& operator=(const MessageLoopThread&) = delete;
  // Must not run on the thread itself.
  ~MessageLoopThread() { Stop(); }

  // Ends an earlier thread, starts a new one and waits until its body reports; answers what it
  // reported (false when the body returned or threw without reporting).
  bool Start(Body body);
  // From the body, once its set-up is done; later calls change nothing.
  void ReportReady(bool ready);
  // From the body: messages until the quit message, a failed wait, a dispatch that throws or the
  // filter's refusal.
  void RunLoop(const MessageFilter& beforeDispatch = nullptr);

  // Asks the loop to end; from any thread, at any time.
  void Quit();
  // Whether Quit was called since the last start: a loop that ended without it was ended by
  // someone else.
  bool QuitRequested() const { return quitRequested_; }
  // Quit, then wait for the thread unless called on it.
  void Stop();
  bool IsCurrentThread() const;

 private:
  void Run(const Body& body);
  void JoinUnlessCurrent();

  platform::MessageLoopApi& loops_;
  std::mutex threadMutex_;  // guards thread_ for the threads that start and join it
  std::thread thread_;
  std::atomic<std::uint32_t> threadId_{0};
  std::atomic<bool> quitRequested_{false};
  std::mutex readyMutex_;
  std::condition_variable readyCondition_;
  bool reported_ = false;
  bool ready_ = false;
};

}  // namespace velmora::computer_use
