#include "common/message_loop_thread.h"

namespace velmora::computer_use {

bool MessageLoopThread::Start(Body body) {
  std::lock_guard threadLock(threadMutex_);
  Quit();
  JoinUnlessCurrent();
  if (thread_.joinable()) return false;  // asked on the thread itself, which cannot restart
  quitRequested_ = false;
  std::unique_lock lock(readyMutex_);
  reported_ = false;
  ready_ = false;
  thread_ = std::thread([this, body = std::move(body)] { Run(body); });
  readyCondition_.wait(lock, [this] { return reported_; });
  return ready_;
}

void MessageLoopThread::Run(const Body& body) {
  // The queue first, so that a quit posted from now on is not lost.
  loops_.EnsureMessageQueue();
  threadId_ = loops_.CurrentThreadId();
  // A quit asked before the thread had its id is posted now.
  if (quitRequested_) loops_.PostThreadMessage(threadId_, platform::kWmQuit, 0, 0);
  try {
    body(*this);
  } catch (...) {
    // A body that throws has released what it set up; the starter hears "not ready".
  }
  threadId_ = 0;
  ReportReady(false);
}

void MessageLoopThread::ReportReady(bool ready) {
  std::lock_guard lock(readyMutex_);
  if (reported_) return;
  reported_ = true;
  ready_ = ready;
  readyCondition_.notify_all();
}

void MessageLoopThread::RunLoop(const MessageFilter& beforeDispatch) {
  platform::WindowMessage message;
  while (loops_.GetMessage(message) > 0) {
    if (beforeDispatch && !beforeDispatch(message)) return;
    try {
      loops_.DispatchMessage(message);
    } catch (...) {
      return;
    }
  }
}

void MessageLoopThread::Quit() {
  quitRequested_ = true;
  const std::uint32_t id = threadId_;
  if (id != 0) loops_.PostThreadMessage(id, platform::kWmQuit, 0, 0);
}

void MessageLoopThread::Stop() {
  if (IsCurrentThread()) {
    // The loop ends once the caller returns to it; the next start or stop joins the thread.
    Quit();
    return;
  }
  std::lock_guard threadLock(threadMutex_);
  Quit();
  JoinUnlessCurrent();
}

bool MessageLoopThread::IsCurrentThread() const {
  const std::uint32_t id = threadId_;
  return id != 0 && id == loops_.CurrentThreadId();
}

void MessageLoopThread::JoinUnlessCurrent() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

}  // namespace velmora::computer_use
