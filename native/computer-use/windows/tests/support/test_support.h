// Shared by the component tests: a thread-safe output that decodes the frames written to it,
// and bounded waits on conditions.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame_codec.h"
#include "platform/streams.h"
#include "protocol/json.h"

namespace velmora::computer_use::testing {

// Polls `condition` until it holds or `timeout` passes; answers the last result.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::mutex mutex;
  std::condition_variable never;
  std::unique_lock lock(mutex);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    never.wait_for(lock, std::chrono::milliseconds(2));
  }
  return true;
}

// Counts calls and lets a test wait for a number of them.
class CallCounter {
 public:
  void operator()() {
    std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  int Count() const {
    std::lock_guard lock(mutex_);
    return count_;
  }
  bool WaitFor(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return count_ >= count; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

class EmptyInput final : public platform::InputStream {
 public:
  platform::IoResult Read(std::uint8_t*, std::size_t) override {
    return {platform::IoStatus::kOk, 0};
  }
};

// Accepts every write from any thread; can be told to fail, or to hold writes as a parent that
// reads nothing does.
class CapturedOutput final : public platform::OutputStream {
 public:
  platform::IoResult Write(const std::uint8_t* buffer, std::size_t count) override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !held_; });
    if (broken_) return {platform::IoStatus::kBrokenPipe, 0};
    bytes_.insert(bytes_.end(), buffer, buffer + count);
    changed_.notify_all();
    return {platform::IoStatus::kOk, count};
  }

  void Break(bool broken = true) {
    std::lock_guard lock(mutex_);
    broken_ = broken;
  }
  void Hold(bool held) {
    std::lock_guard lock(mutex_);
    held_ = held;
    changed_.notify_all();
  }

  // The JSON frames written so far, in order (binary frames are skipped), read with the
  // parent's strict decoder: a malformed frame ends the list.
  std::vector<Json> JsonFrames() const {
    std::lock_guard lock(mutex_);
    client::FrameDecoder decoder;
    decoder.Feed(bytes_.data(), bytes_.size());
    std::vector<Json> frames;
    while (std::optional<client::ClientFrame> frame = decoder.Next()) {
      if (frame->kind == client::kJsonFrameKind) frames.push_back(std::move(frame->json));
    }
    return frames;
  }

  std::vector<std::uint8_t> Bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::uint8_t> bytes_;
  bool broken_ = false;
  bool held_ = false;
};

// The code an action fails with, or empty when it succeeds.
inline std::string FailureCode(const std::function<void()>& action) {
  try {
    action();
    return "";
  } catch (const std::runtime_error& failure) {
    return failure.what();
  }
}

inline Json EmergencyStopEvent() {
  return Json{{"type", "event"}, {"event", {{"type", "emergency_stop"}}}};
}

}  // namespace velmora::computer_use::testing
