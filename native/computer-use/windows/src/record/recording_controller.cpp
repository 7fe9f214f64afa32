#include "record/recording_controller.h"

#include "common/own_input.h"
#include "common/scope_exit.h"
#include "safety/interaction_monitor.h"

namespace velmora::computer_use {
namespace {

using platform::kVkCapital;
using platform::kVkControl;
using platform::kVkLeftWin;
using platform::kVkMenu;
using platform::kVkRightWin;
using platform::kVkShift;
using platform::WindowHandle;

// Low-level hooks carry no context: they reach the recording through this. One recording hooks
// at a time; a second one fails its start instead of taking the events.
std::atomic<RecordingController*> hookedRecording{nullptr};

bool IsKeyDownMessage(std::uint32_t message) {
  return message == platform::kWmKeyDown || message == platform::kWmSysKeyDown;
}

WindowHandle RootOf(platform::WindowApi& windows, WindowHandle window) {
  return window == platform::kNullWindow ? platform::kNullWindow : windows.RootWindow(window);
}

}  // namespace

RecordingController::RecordingController(platform::Platform& platform, UiaObserver& observer,
                                         EventSink onEvent, Callback onEmergencyStop,
                                         Callback onUndeliverable)
    : platform_(platform),
      builder_(platform, observer),
      onEvent_(std::move(onEvent)),
      onEmergencyStop_(std::move(onEmergencyStop)),
      onUndeliverable_(std::move(onUndeliverable)),
      hookThread_(platform.messageLoops) {}

RecordingController::~RecordingController() {
  Stop();
  // Only when the last owner let go on the event thread itself, which the service avoids.
  if (eventThread_.joinable()) eventThread_.detach();
}

bool RecordingController::Start() {
  std::lock_guard threads(threadsMutex_);
  if (active_.exchange(true)) return false;
  paused_ = false;
  undeliverable_ = false;
  {
    std::lock_guard escape(escapeMutex_);
    escapeHeld_ = false;
  }
  {
    std::lock_guard queue(queueMutex_);
    queue_.clear();
    stopping_ = false;
  }
  if (eventThread_.joinable()) eventThread_.join();
  eventThread_ = std::thread([this] { RunEvents(); });
  if (hookThread_.Start([this](MessageLoopThread& thread) { RunHooks(thread); })) return true;
  active_ = false;
  hookThread_.Stop();
  {
    std::lock_guard queue(queueMutex_);
    stopping_ = true;
  }
  queueChanged_.notify_all();
  eventThread_.join();
  return false;
}

void RecordingController::Stop() {
  active_ = false;
  paused_ = false;
  {
    std::lock_guard queue(queueMutex_);
    stopping_ = true;
    queue_.clear();
  }
  queueChanged_.notify_all();
  hookThread_.Quit();
  // On one of its own threads (an emergency stop): the loops end once this returns, and the
  // next stop or start from outside joins them.
  if (hookThread_.IsCurrentThread() || std::this_thread::get_id() == eventThreadId_.load()) return;
  std::lock_guard threads(threadsMutex_);
  hookThread_.Stop();
  if (eventThread_.joinable()) eventThread_.join();
}

void RecordingController::RunHooks(MessageLoopThread& thread) {
  platform::MessageLoopApi& loop = platform_.messageLoops;
  const bool apartment = loop.InitializeThreadApartment();
  RecordingController* none = nullptr;
  const bool claimed = hookedRecording.compare_exchange_strong(none, this);
  platform::InputHookId keyboardHook = 0;
  platform::InputHookId mouseHook = 0;
  platform::WinEventHookId foregroundHook = 0;
  platform::WinEventHookId focusHook = 0;
  platform::WinEventHookId nameHook = 0;
  if (claimed) {
    keyboardHook = loop.SetKeyboardHook(&OnKeyboard);
    mouseHook = loop.SetMouseHook(&OnMouse);
    foregroundHook = loop.SetWinEventHook(platform::kEventSystemForeground,
                                          platform::kEventSystemForeground, &OnWinEvent, true);
    focusHook = loop.SetWinEventHook(platform::kEventObjectFocus,
                                     platform::kEventObjectSelectionWithin, &OnWinEvent, true);
    nameHook = loop.SetWinEventHook(platform::kEventObjectNameChange,
                                    platform::kEventObjectNameChange, &OnWinEvent, true);
  }
  const platform::ThreadTimerId timer = loop.SetThreadTimer(kRecordingTimerMs);
  const bool installed = apartment && claimed && keyboardHook != 0 && mouseHook != 0 &&
                         foregroundHook != 0 && focusHook != 0 && nameHook != 0;
  thread.ReportReady(installed);

  if (installed) {
    Capture(Now(CapturedKind::kSessionStarted,
                RootOf(platform_.windows, platform_.windows.ForegroundWindow())),
            false);
    thread.RunLoop([this](const platform::WindowMessage&) { return AfterMessage(); });
  }

  active_ = false;
  if (timer != 0) loop.KillThreadTimer(timer);
  for (const platform::WinEventHookId hook : {foregroundHook, focusHook, nameHook}) {
    if (hook != 0) loop.UnhookWinEvent(hook);
  }
  if (keyboardHook != 0) loop.UnhookInput(keyboardHook);
  if (mouseHook != 0) loop.UnhookInput(mouseHook);
  if (claimed) hookedRecording = nullptr;
  if (apartment) loop.UninitializeThreadApartment();
  {
    std::lock_guard queue(queueMutex_);
    stopping_ = true;
  }
  queueChanged_.notify_all();
}

bool RecordingController::AfterMessage() {
  if (!active_) return false;
  if (undeliverable_) {
    active_ = false;
    try {
      if (onUndeliverable_) onUndeliverable_();
    } catch (...) {
      // The recording has ended either way.
    }
    return false;
  }
  bool held = false;
  {
    std::lock_guard escape(escapeMutex_);
    if (escapeHeld_ && platform_.system.TickCount64() - escapeDownTick_ >= kEscapeHoldMs) {
      escapeHeld_ = false;
      held = true;
    }
  }
  if (held) {
    try {
      if (onEmergencyStop_) onEmergencyStop_();
    } catch (...) {
      // The stop has been asked for; nothing to add.
    }
  }
  return active_;
}

void RecordingController::RunEvents() {
  eventThreadId_ = std::this_thread::get_id();
  ScopeExit forget([this] { eventThreadId_ = std::thread::id(); });
  for (;;) {
    CapturedInput input;
    {
      std::unique_lock queue(queueMutex_);
      queueChanged_.wait(queue, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      input = queue_.front();
      queue_.pop_front();
    }
    std::optional<Json> event = builder_.Build(input, [&] { return FocusUnchanged(input); });
    if (!event || !active_) continue;
    try {
      if (onEvent_) onEvent_(std::move(*event));
    } catch (...) {
      // The sink answers its own failures.
    }
  }
}

CapturedInput RecordingController::Now(CapturedKind kind, WindowHandle window) {
  CapturedInput input;
  input.kind = kind;
  input.fileTime = platform_.system.SystemTimeAsFileTime();
  input.window = window;
  return input;
}

void RecordingController::Capture(CapturedInput input, bool mayMoveFocus) {
  input.focusEpoch = mayMoveFocus ? ++focusEpoch_ : focusEpoch_.load();
  {
    std::lock_guard queue(queueMutex_);
    if (stopping_) return;
    if (queue_.size() >= kMaxPendingInputs) {
      // Dropped input would make a recording that lies: it ends instead.
      undeliverable_ = true;
      return;
    }
    queue_.push_back(input);
  }
  queueChanged_.notify_one();
}

bool RecordingController::FocusUnchanged(const CapturedInput& input) {
  if (focusEpoch_ != input.focusEpoch) return false;
  if (input.focusWindow == platform::kNullWindow) return true;
  platform::WindowApi& windows = platform_.windows;
  return windows.FocusedWindow(windows.WindowThreadId(input.window)) == input.focusWindow;
}

void RecordingController::OnKeyboard(const platform::KeyboardHookEvent& event) {
  RecordingController* self = hookedRecording;
  if (self == nullptr || !self->active_) return;
  if ((event.flags & platform::kLlkhfInjected) != 0 || event.extraInfo == kOwnInputMarker) return;
  const bool down = IsKeyDownMessage(event.message);
  if (event.virtualKey == platform::kVkEscape) {
    std::lock_guard escape(self->escapeMutex_);
    if (down && !self->escapeHeld_) {
      self->escapeHeld_ = true;
      self->escapeDownTick_ = self->platform_.system.TickCount64();
    } else if (!down) {
      self->escapeHeld_ = false;
    }
  }
  if (self->paused_ || !down) return;

  platform::Platform& platform = self->platform_;
  const WindowHandle foreground = platform.windows.ForegroundWindow();
  CapturedInput input = self->Now(CapturedKind::kKey, RootOf(platform.windows, foreground));
  input.message = event.message;
  input.virtualKey = event.virtualKey;
  input.scanCode = event.scanCode;
  platform::InputApi& keys = platform.input;
  if (keys.IsKeyDown(kVkLeftWin) || keys.IsKeyDown(kVkRightWin)) input.modifiers |= kModifierMeta;
  if (keys.IsKeyDown(kVkControl)) input.modifiers |= kModifierControl;
  if (keys.IsKeyDown(kVkMenu)) input.modifiers |= kModifierAlt;
  if (keys.IsKeyDown(kVkShift)) input.modifiers |= kModifierShift;
  if (keys.IsKeyToggled(kVkCapital)) input.modifiers |= kModifierCapsLock;
  const std::uint32_t thread =
      foreground == platform::kNullWindow ? 0 : platform.windows.WindowThreadId(foreground);
  input.layout = keys.KeyboardLayoutOf(thread);
  input.focusWindow = platform.windows.FocusedWindow(thread);
  const bool shortcut = (input.modifiers & (kModifierMeta | kModifierControl | kModifierAlt)) != 0;
  self->Capture(input, shortcut || KeyMayMoveFocus(event.virtualKey));
}

void RecordingController::OnMouse(const platform::MouseHookEvent& event) {
  switch (event.message) {
    case platform::kWmLButtonDown:
    case platform::kWmRButtonDown:
    case platform::kWmMButtonDown:
    case platform::kWmMouseWheel:
      break;
    default:
      return;  // moves, releases, the horizontal wheel and X buttons: dropped before any work
  }
  RecordingController* self = hookedRecording;
  if (self == nullptr || !self->active_ || self->paused_) return;
  if ((event.flags & platform::kLlmhfInjected) != 0 || event.extraInfo == kOwnInputMarker) return;
  platform::WindowApi& windows = self->platform_.windows;
  const WindowHandle root = RootOf(windows, windows.WindowFromPoint(event.x, event.y));
  if (root == platform::kNullWindow) return;
  CapturedInput input = self->Now(CapturedKind::kMouse, root);
  input.message = event.message;
  input.x = event.x;
  input.y = event.y;
  input.wheelDelta = static_cast<std::int16_t>(event.mouseData >> 16);
  self->Capture(input, event.message != platform::kWmMouseWheel);
}

void RecordingController::OnWinEvent(std::uint32_t event, WindowHandle window,
                                     std::int32_t objectId, std::int32_t /*childId*/) {
  RecordingController* self = hookedRecording;
  if (self == nullptr || !self->active_ || self->paused_) return;
  platform::WindowApi& windows = self->platform_.windows;
  const WindowHandle root =
      RootOf(windows, window != platform::kNullWindow ? window : windows.ForegroundWindow());
  if (root == platform::kNullWindow) return;
  CapturedInput input = self->Now(CapturedKind::kWindowEvent, root);
  input.message = event;
  input.objectId = objectId;
  self->Capture(input,
                event == platform::kEventSystemForeground || event == platform::kEventObjectFocus);
}

}  // namespace velmora::computer_use
