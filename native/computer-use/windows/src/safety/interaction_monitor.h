// Watches the user's keyboard and mouse through low-level hooks on a thread of its own: per
// observed top-level window a record whose generation counts the user's presses there, a
// desktop-wide generation of physical input, and Escape held for two seconds as the user's way
// to stop everything.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/message_loop_thread.h"
#include "common/own_input.h"
#include "platform/platform.h"

namespace velmora::computer_use {

inline constexpr std::size_t kMaxInteractionRecords = 128;
inline constexpr std::uint64_t kEscapeHoldMs = 2000;
inline constexpr std::uint32_t kInteractionWakeIntervalMs = 100;

struct InteractionRecord {
  std::string id;  // a GUID as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
  std::uint64_t generation = 0;
  std::string epoch;
  friend bool operator==(const InteractionRecord&, const InteractionRecord&) = default;
};

// 64-bit FNV-1a over the handle's 8 bytes, least significant first.
struct WindowHandleHash {
  std::size_t operator()(platform::WindowHandle window) const noexcept;
};

class InteractionMonitor {
 public:
  using InterferenceCallback = std::function<void()>;

  InteractionMonitor(platform::Platform& platform, InterferenceCallback onInterference);
  InteractionMonitor(const InteractionMonitor&) = delete;
  InteractionMonitor& operator=(const InteractionMonitor&) = delete;
  ~InteractionMonitor();

  // Installs the hooks unless running; throws "permission_missing" when they did not install.
  void Start();
  void Stop();
  bool IsRunning() const { return running_; }

  // Starts the monitor and gives the window's record, made on first use; throws
  // "capability_unavailable" when no identifier can be made.
  InteractionRecord GetInteractionRecord(platform::WindowHandle window);
  std::uint64_t InteractionGeneration() const;
  // The user's last physical input went to this window since `generation` was read.
  bool UserInteractedWith(platform::WindowHandle window, std::uint64_t generation) const;
  bool IsRecordCurrent(platform::WindowHandle window, std::string_view id,
                       std::uint64_t generation) const;
  std::size_t RecordCount() const;

 private:
  static void OnKeyboard(const platform::KeyboardHookEvent& event);
  static void OnMouse(const platform::MouseHookEvent& event);
  static void OnWinEvent(std::uint32_t event, platform::WindowHandle window, std::int32_t objectId,
                         std::int32_t childId);

  void Run(MessageLoopThread& thread);
  // Between two messages: the user has held Escape long enough.
  bool EscapeHeldLongEnough() const;
  void RecordInteraction(platform::WindowHandle window, bool own, bool physical, bool counted);
  void ForgetWindow(platform::WindowHandle window);
  void Reset();

  platform::Platform& platform_;
  InterferenceCallback onInterference_;

  mutable std::mutex mutex_;
  std::unordered_map<platform::WindowHandle, InteractionRecord, WindowHandleHash> records_;
  std::uint64_t interactionGeneration_ = 0;
  std::optional<platform::WindowHandle> lastWindow_;
  std::string epoch_;

  std::mutex startMutex_;  // one start or stop at a time, from the threads outside the hooks
  std::atomic<bool> running_{false};
  std::atomic<std::uint64_t> escapeDownTick_{0};
  MessageLoopThread hookThread_;
};

}  // namespace velmora::computer_use
