#include "safety/interaction_monitor.h"

#include "protocol/error_codes.h"
#include "protocol/json.h"

namespace velmora::computer_use {
namespace {

using platform::WindowHandle;

// Low-level hooks carry no context: they reach the running monitor through this. One monitor
// runs its hooks at a time; a second one fails its set-up instead of stealing the events.
std::atomic<InteractionMonitor*> hookedMonitor{nullptr};

bool IsKeyDown(std::uint32_t message) {
  return message == platform::kWmKeyDown || message == platform::kWmSysKeyDown;
}

}  // namespace

std::size_t WindowHandleHash::operator()(WindowHandle window) const noexcept {
  std::uint64_t hash = 14695981039346656037ull;
  auto value = static_cast<std::uint64_t>(window);
  for (int byte = 0; byte < 8; ++byte) {
    hash ^= value & 0xFF;
    hash *= 1099511628211ull;
    value >>= 8;
  }
  return static_cast<std::size_t>(hash);
}

InteractionMonitor::InteractionMonitor(platform::Platform& platform,
                                       InterferenceCallback onInterference)
    : platform_(platform),
      onInterference_(std::move(onInterference)),
      hookThread_(platform.messageLoops) {}

InteractionMonitor::~InteractionMonitor() {
  Stop();
}

void InteractionMonitor::Start() {
  std::lock_guard startLock(startMutex_);
  if (running_) return;
  Reset();
  if (!hookThread_.Start([this](MessageLoopThread& thread) { Run(thread); })) {
    // The thread has removed what did install before the failure is reported.
    hookThread_.Stop();
    FailWith(ErrorCode::kPermissionMissing);
  }
}

void InteractionMonitor::Stop() {
  if (hookThread_.IsCurrentThread()) {
    // From the interference callback: the loop ends on its own once this returns.
    running_ = false;
    hookThread_.Stop();
    Reset();
    return;
  }
  std::lock_guard startLock(startMutex_);
  running_ = false;
  hookThread_.Stop();
  Reset();
}

void InteractionMonitor::Reset() {
  std::lock_guard lock(mutex_);
  records_.clear();
  ++interactionGeneration_;
  lastWindow_.reset();
  escapeDownTick_ = 0;
}

void InteractionMonitor::Run(MessageLoopThread& thread) {
  platform::MessageLoopApi& loop = platform_.messageLoops;
  const bool apartment = loop.InitializeThreadApartment();
  InteractionMonitor* none = nullptr;
  const bool claimed = hookedMonitor.compare_exchange_strong(none, this);

  platform::InputHookId keyboardHook = 0;
  platform::InputHookId mouseHook = 0;
  if (claimed) {
    keyboardHook = loop.SetKeyboardHook(&OnKeyboard);
    mouseHook = loop.SetMouseHook(&OnMouse);
  }
  const platform::ThreadTimerId timer = loop.SetThreadTimer(kInteractionWakeIntervalMs);
  const platform::WinEventHookId destroyHook = loop.SetWinEventHook(
      platform::kEventObjectDestroy, platform::kEventObjectDestroy, &OnWinEvent, false);
  running_ =
      apartment && claimed && keyboardHook != 0 && mouseHook != 0 && timer != 0 && destroyHook != 0;
  thread.ReportReady(running_);

  if (running_) {
    thread.RunLoop([this](const platform::WindowMessage&) {
      if (!running_) return false;
      // The timer wakes the loop every 100 ms, so a held Escape is seen soon after two seconds.
      if (!EscapeHeldLongEnough()) return true;
      running_ = false;
      try {
        if (onInterference_) onInterference_();
      } catch (...) {
        // The stop has been asked for; nothing to add.
      }
      return false;
    });
  }

  running_ = false;
  if (timer != 0) loop.KillThreadTimer(timer);
  if (keyboardHook != 0) loop.UnhookInput(keyboardHook);
  if (mouseHook != 0) loop.UnhookInput(mouseHook);
  if (destroyHook != 0) loop.UnhookWinEvent(destroyHook);
  if (claimed) hookedMonitor = nullptr;
  if (apartment) loop.UninitializeThreadApartment();
}

bool InteractionMonitor::EscapeHeldLongEnough() const {
  const std::uint64_t downTick = escapeDownTick_;
  return downTick != 0 && platform_.system.TickCount64() - downTick >= kEscapeHoldMs;
}

void InteractionMonitor::OnKeyboard(const platform::KeyboardHookEvent& event) {
  InteractionMonitor* monitor = hookedMonitor;
  if (monitor == nullptr || !monitor->running_) return;
  const bool own = event.extraInfo == kOwnInputMarker;
  const bool down = IsKeyDown(event.message);
  // Escape from other software counts like the user's own; only the helper's is excluded.
  if (!own && event.virtualKey == platform::kVkEscape) {
    if (down) {
      std::uint64_t up = 0;
      monitor->escapeDownTick_.compare_exchange_strong(up, monitor->platform_.system.TickCount64());
    } else {
      monitor->escapeDownTick_ = 0;
    }
  }
  platform::WindowApi& windows = monitor->platform_.windows;
  const WindowHandle foreground = windows.ForegroundWindow();
  const WindowHandle window =
      foreground == platform::kNullWindow ? platform::kNullWindow : windows.RootWindow(foreground);
  const bool physical =
      (event.flags & (platform::kLlkhfInjected | platform::kLlkhfLowerIlInjected)) == 0;
  monitor->RecordInteraction(window, own, physical, down);
}

void InteractionMonitor::OnMouse(const platform::MouseHookEvent& event) {
  InteractionMonitor* monitor = hookedMonitor;
  if (monitor == nullptr || !monitor->running_) return;
  bool counted = false;
  switch (event.message) {
    case platform::kWmLButtonDown:
    case platform::kWmRButtonDown:
    case platform::kWmMButtonDown:
    case platform::kWmMouseWheel:
    case platform::kWmMouseHWheel:
      counted = true;
      break;
    case platform::kWmLButtonUp:
    case platform::kWmRButtonUp:
    case platform::kWmMButtonUp:
      break;
    default:
      return;  // moves and X buttons: dropped before any work
  }
  platform::WindowApi& windows = monitor->platform_.windows;
  const WindowHandle hit = windows.WindowFromPoint(event.x, event.y);
  const WindowHandle window =
      hit == platform::kNullWindow ? platform::kNullWindow : windows.RootWindow(hit);
  const bool own = event.extraInfo == kOwnInputMarker;
  const bool physical =
      (event.flags & (platform::kLlmhfInjected | platform::kLlmhfLowerIlInjected)) == 0;
  monitor->RecordInteraction(window, own, physical, counted);
}

void InteractionMonitor::OnWinEvent(std::uint32_t event, WindowHandle window, std::int32_t objectId,
                                    std::int32_t childId) {
  if (event != platform::kEventObjectDestroy || objectId != platform::kObjIdWindow ||
      childId != platform::kChildIdSelf) {
    return;
  }
  InteractionMonitor* monitor = hookedMonitor;
  if (monitor != nullptr) monitor->ForgetWindow(window);
}

void InteractionMonitor::RecordInteraction(WindowHandle window, bool own, bool physical,
                                           bool counted) {
  std::lock_guard lock(mutex_);
  if (!running_ || own) return;
  if (physical && window != platform::kNullWindow) {
    ++interactionGeneration_;
    lastWindow_ = window;
  }
  // Another program's injected presses count for the window, though they are not physical.
  if (counted) {
    const auto record = records_.find(window);
    if (record != records_.end()) ++record->second.generation;
  }
}

void InteractionMonitor::ForgetWindow(WindowHandle window) {
  std::lock_guard lock(mutex_);
  records_.erase(window);
  if (lastWindow_ == window) {
    ++interactionGeneration_;
    lastWindow_.reset();
  }
}

InteractionRecord InteractionMonitor::GetInteractionRecord(WindowHandle window) {
  Start();
  std::lock_guard lock(mutex_);
  auto record = records_.find(window);
  if (record == records_.end()) {
    // The identifier first: a failure must not cost another window its record.
    const std::optional<platform::Guid> guid = platform_.system.CreateGuid();
    if (!guid) FailWith(ErrorCode::kCapabilityUnavailable);
    std::string id = ToUtf8(platform_.system.GuidToString(*guid));
    if (records_.size() >= kMaxInteractionRecords) records_.erase(records_.begin());
    if (epoch_.empty()) epoch_ = id;
    record = records_.emplace(window, InteractionRecord{std::move(id), 0, epoch_}).first;
  }
  return record->second;
}

std::uint64_t InteractionMonitor::InteractionGeneration() const {
  std::lock_guard lock(mutex_);
  return interactionGeneration_;
}

bool InteractionMonitor::UserInteractedWith(WindowHandle window, std::uint64_t generation) const {
  if (!running_ || !platform_.windows.IsWindow(window)) return false;
  std::lock_guard lock(mutex_);
  return interactionGeneration_ != generation && lastWindow_ == window;
}

bool InteractionMonitor::IsRecordCurrent(WindowHandle window, std::string_view id,
                                         std::uint64_t generation) const {
  if (!running_ || !platform_.windows.IsWindow(window)) return false;
  std::lock_guard lock(mutex_);
  const auto record = records_.find(window);
  return record != records_.end() && record->second.id == id &&
         record->second.generation == generation;
}

std::size_t InteractionMonitor::RecordCount() const {
  std::lock_guard lock(mutex_);
  return records_.size();
}

}  // namespace velmora::computer_use
