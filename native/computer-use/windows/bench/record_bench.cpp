// Recording. On the simulated desktop: what one key going down and one click take while a
// recording runs (as events come out, back to back, while the parent reads nothing, while UI
// Automation hangs), beside the same input with no hook at all and with a hook that does nothing,
// and the hook procedure's own time taken around it on its thread ("hook_"). Each iteration is
// timed on its own: the counters are percentiles in microseconds. Through the real helper and a
// pipe: events per second with the parent reading, how many were lost, and how long one event takes
// to arrive.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/message_loop_thread.h"
#include "helper_client.h"
#include "observe/uia_observer.h"
#include "platform/sim/sim_platform.h"
#include "protocol/envelopes.h"
#include "protocol/frame_protocol.h"
#include "record/recording_events.h"
#include "service/helper_service.h"
#include "support/test_support.h"

namespace velmora::computer_use {
namespace {

using Clock = std::chrono::steady_clock;

constexpr platform::ProcessId kParent = 77;
// Inside "Message", the default scene's focused textbox: a click there moves nothing else.
constexpr std::int32_t kClickX = 800;
constexpr std::int32_t kClickY = 980;

double Microseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::micro>(duration).count();
}

// Nearest-rank percentiles of the per-iteration times, as counters in microseconds.
void ReportPercentiles(benchmark::State& state, std::vector<double> samples,
                       const std::string& prefix = "") {
  if (samples.empty()) return;
  std::sort(samples.begin(), samples.end());
  const auto at = [&samples](double quantile) {
    const auto rank = static_cast<std::size_t>(quantile * static_cast<double>(samples.size()));
    return samples[std::min(rank, samples.size() - 1)];
  };
  state.counters[prefix + "p50_us"] = at(0.50);
  state.counters[prefix + "p90_us"] = at(0.90);
  state.counters[prefix + "p99_us"] = at(0.99);
  state.counters[prefix + "max_us"] = samples.back();
}

// Discards what it is given but the last response and the number of recording events; can hold
// every write, as a parent that reads nothing does.
class HoldableOutput final : public platform::OutputStream {
 public:
  platform::IoResult Write(const std::uint8_t* buffer, std::size_t count) override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !held_; });
    if (count != 5) {  // not a frame header
      const std::string_view body(reinterpret_cast<const char*>(buffer), count);
      if (body.find("\"type\":\"response\"") != std::string_view::npos) {
        last_.assign(buffer, buffer + count);
      } else if (body.find("\"kind\":") != std::string_view::npos) {
        ++events_;
      }
    }
    return {platform::IoStatus::kOk, count};
  }
  void Hold(bool held) {
    {
      std::lock_guard lock(mutex_);
      held_ = held;
    }
    changed_.notify_all();
  }
  Json LastJson() const {
    std::lock_guard lock(mutex_);
    return Json::parse(last_.begin(), last_.end());
  }
  std::size_t Events() const { return events_; }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  std::vector<std::uint8_t> last_;
  std::atomic<std::size_t> events_{0};
};

// The low-level hook procedures' own time, taken on the hook thread around the call: every
// message loop call goes to the simulated desktop, but the hooks are installed behind a timer.
std::atomic<platform::KeyboardHookCallback> timedKeyboard{nullptr};
std::atomic<platform::MouseHookCallback> timedMouse{nullptr};
std::atomic<std::int64_t> lastHookNs{-1};

void TimedKeyboardHook(const platform::KeyboardHookEvent& event) {
  const Clock::time_point start = Clock::now();
  timedKeyboard.load()(event);
  lastHookNs = std::chrono::nanoseconds(Clock::now() - start).count();
}
void TimedMouseHook(const platform::MouseHookEvent& event) {
  const Clock::time_point start = Clock::now();
  timedMouse.load()(event);
  lastHookNs = std::chrono::nanoseconds(Clock::now() - start).count();
}

class TimedHookLoops final : public platform::MessageLoopApi {
 public:
  explicit TimedHookLoops(platform::MessageLoopApi& loops) : loops_(loops) {}

  platform::InputHookId SetKeyboardHook(platform::KeyboardHookCallback callback) override {
    timedKeyboard = callback;
    return loops_.SetKeyboardHook(&TimedKeyboardHook);
  }
  platform::InputHookId SetMouseHook(platform::MouseHookCallback callback) override {
    timedMouse = callback;
    return loops_.SetMouseHook(&TimedMouseHook);
  }

  bool InitializeThreadApartment() override { return loops_.InitializeThreadApartment(); }
  void UninitializeThreadApartment() override { loops_.UninitializeThreadApartment(); }
  void EnsureMessageQueue() override { loops_.EnsureMessageQueue(); }
  std::uint32_t CurrentThreadId() override { return loops_.CurrentThreadId(); }
  platform::ClassRegistration RegisterWindowClass(std::u16string_view className) override {
    return loops_.RegisterWindowClass(className);
  }
  platform::WindowHandle CreateHiddenWindow(std::u16string_view className,
                                            platform::WindowMessageHandler* handler) override {
    return loops_.CreateHiddenWindow(className, handler);
  }
  void DestroyWindow(platform::WindowHandle window) override { loops_.DestroyWindow(window); }
  platform::WinEventHookId SetWinEventHook(std::uint32_t eventMin, std::uint32_t eventMax,
                                           platform::WinEventCallback callback,
                                           bool skipOwnProcess) override {
    return loops_.SetWinEventHook(eventMin, eventMax, callback, skipOwnProcess);
  }
  void UnhookWinEvent(platform::WinEventHookId hook) override { loops_.UnhookWinEvent(hook); }
  bool SetTimer(platform::WindowHandle window, std::uintptr_t timerId,
                std::uint32_t intervalMs) override {
    return loops_.SetTimer(window, timerId, intervalMs);
  }
  void KillTimer(platform::WindowHandle window, std::uintptr_t timerId) override {
    loops_.KillTimer(window, timerId);
  }
  platform::ThreadTimerId SetThreadTimer(std::uint32_t intervalMs) override {
    return loops_.SetThreadTimer(intervalMs);
  }
  void KillThreadTimer(platform::ThreadTimerId timer) override { loops_.KillThreadTimer(timer); }
  void UnhookInput(platform::InputHookId hook) override { loops_.UnhookInput(hook); }
  int GetMessage(platform::WindowMessage& message) override { return loops_.GetMessage(message); }
  void DispatchMessage(const platform::WindowMessage& message) override {
    loops_.DispatchMessage(message);
  }
  bool PostMessage(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                   std::intptr_t lParam) override {
    return loops_.PostMessage(window, message, wParam, lParam);
  }
  bool PostThreadMessage(std::uint32_t threadId, std::uint32_t message, std::uintptr_t wParam,
                         std::intptr_t lParam) override {
    return loops_.PostThreadMessage(threadId, message, wParam, lParam);
  }
  void PostQuitMessage(int exitCode) override { loops_.PostQuitMessage(exitCode); }

 private:
  platform::MessageLoopApi& loops_;
};

platform::Platform WithLoops(platform::Platform& p, platform::MessageLoopApi& loops) {
  return platform::Platform{
      p.standardInput, p.standardOutput, p.runtime,  p.processes,  p.sessions, p.windows, loops,
      p.processInfo,   p.crypto,         p.displays, p.automation, p.system,   p.capture, p.input};
}

// Low-level hooks that return at once: what the simulated desktop's hand-over to a hook thread
// and back costs, without any work in the hook.
class EmptyHooks {
 public:
  explicit EmptyHooks(platform::MessageLoopApi& loops) : thread_(loops) {
    ready_ = thread_.Start([&loops](MessageLoopThread& thread) {
      const platform::InputHookId keyboard =
          loops.SetKeyboardHook([](const platform::KeyboardHookEvent&) {});
      const platform::InputHookId mouse =
          loops.SetMouseHook([](const platform::MouseHookEvent&) {});
      thread.ReportReady(keyboard != 0 && mouse != 0);
      thread.RunLoop();
      if (keyboard != 0) loops.UnhookInput(keyboard);
      if (mouse != 0) loops.UnhookInput(mouse);
    });
  }
  bool Ready() const { return ready_; }

 private:
  MessageLoopThread thread_;
  bool ready_ = false;
};

enum Condition : int {
  kNoHook,
  kEmptyHook,
  kRecording,            // each input's events written before the next input, as a person types
  kRecordingBackToBack,  // the next input at once, while the events of the last are being made
  kParentReadsNothing,
  kAutomationHangs,
};

const char* ConditionLabel(int condition) {
  switch (condition) {
    case kNoHook:
      return "no hook";
    case kEmptyHook:
      return "empty hook";
    case kRecording:
      return "recording";
    case kRecordingBackToBack:
      return "recording, back to back";
    case kParentReadsNothing:
      return "recording, parent reads nothing";
    case kAutomationHangs:
      return "recording, automation hangs";
  }
  return "";
}

class RecordBench {
 public:
  RecordBench() { platform::sim::ApplyScene(sim_, "default", kParent); }
  ~RecordBench() {
    Block(false);
    Request("record.stop");
  }

  Json Request(const std::string& method) {
    const Json frame{
        {"type", "request"}, {"requestId", "b"}, {"method", method}, {"payload", Json::object()}};
    service_.ServeRequest(CheckRequestEnvelope(frame), frame);
    return output_.LastJson();
  }
  // A new recording, with its first event out.
  bool StartRecording() {
    const std::size_t before = output_.Events();
    const Json reply = Request("record.start");
    if (!reply.value("ok", false) || reply["result"].value("state", "") != "recording") {
      return false;
    }
    return WaitForEvents(before + 1);
  }
  bool Recording() {
    const auto recording = service_.CurrentRecording();
    return recording && recording->IsActive();
  }
  void SetCondition(int condition) { condition_ = condition; }
  void Block(bool on) {
    if (condition_ == kParentReadsNothing) output_.Hold(on);
    if (condition_ == kAutomationHangs) sim_.Automation().HoldCalls(on);
  }
  // Spins rather than sleeps, so that the next timed input does not start on a cold core.
  bool WaitForEvents(std::size_t count) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (output_.Events() < count) {
      if (Clock::now() > deadline) return false;
      std::this_thread::yield();
    }
    return true;
  }
  std::size_t Events() const { return output_.Events(); }
  platform::sim::SimPlatform& Sim() { return sim_; }
  platform::MessageLoopApi& Loops() { return loops_; }

 private:
  testing::EmptyInput input_;
  HoldableOutput output_;
  platform::sim::SimPlatform sim_{input_, output_};
  TimedHookLoops loops_{sim_.MessageLoops()};
  platform::Platform platform_ = WithLoops(sim_.Get(), loops_);
  FrameWriter writer_{output_};
  HelperService service_{platform_, writer_};
  int condition_ = kNoHook;
};

// A held sink or a hung automation leaves every input pending: well under the 1,024 at which the
// recording ends itself, a new one starts (clicks make two inputs: the press and the focus).
constexpr int kRestartEvery = 400;

void HookCost(benchmark::State& state, bool click) {
  const int condition = static_cast<int>(state.range(0));
  state.SetLabel(ConditionLabel(condition));
  RecordBench bench;
  bench.SetCondition(condition);
  platform::sim::SimInput& input = bench.Sim().Input();
  const auto down = [&] {
    if (click) {
      input.SendMouse(platform::kWmLButtonDown, kClickX, kClickY);
    } else {
      input.SendKey('A', true);
    }
  };
  const auto up = [&] {
    if (click) {
      input.SendMouse(platform::kWmLButtonUp, kClickX, kClickY);
    } else {
      input.SendKey('A', false);
    }
  };

  std::unique_ptr<EmptyHooks> empty;
  if (condition == kEmptyHook) {
    empty = std::make_unique<EmptyHooks>(bench.Loops());
    if (!empty->Ready()) return state.SkipWithError("the empty hooks were not installed");
  }
  const bool recording = condition >= kRecording;
  if (recording && !bench.StartRecording()) return state.SkipWithError("no recording");
  // How many events one input makes (a click: the click and the focus it gives).
  std::size_t perInput = 0;
  if (recording) {
    const std::size_t before = bench.Events();
    down();
    up();
    bench.WaitForEvents(before + 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    perInput = bench.Events() - before;
  }
  bench.Block(true);

  std::vector<double> samples;
  std::vector<double> hookSamples;
  samples.reserve(static_cast<std::size_t>(state.max_iterations));
  hookSamples.reserve(static_cast<std::size_t>(state.max_iterations));
  std::size_t expected = bench.Events();
  int sinceStart = 0;
  int restarts = 0;
  int ended = 0;
  for (auto _ : state) {
    const bool blocked = condition == kParentReadsNothing || condition == kAutomationHangs;
    if (recording && ((blocked && ++sinceStart > kRestartEvery) || !bench.Recording())) {
      ended += bench.Recording() ? 0 : 1;
      bench.Block(false);
      if (!bench.StartRecording()) {
        state.SkipWithError("no recording");
        break;
      }
      bench.Block(true);
      expected = bench.Events();
      sinceStart = 1;
      ++restarts;
    }
    lastHookNs = -1;
    const Clock::time_point start = Clock::now();
    down();
    const Clock::duration took = Clock::now() - start;
    // Written on the hook thread before the input's delivery returned.
    const std::int64_t hookNs = lastHookNs.exchange(-1);
    if (hookNs >= 0) hookSamples.push_back(static_cast<double>(hookNs) / 1000.0);
    up();
    state.SetIterationTime(std::chrono::duration<double>(took).count());
    samples.push_back(Microseconds(took));
    if (condition == kRecording) {
      expected += perInput;
      if (!bench.WaitForEvents(expected)) {
        state.SkipWithError("an event did not come out");
        break;
      }
    }
  }
  bench.Block(false);
  ReportPercentiles(state, samples);
  ReportPercentiles(state, hookSamples, "hook_");
  if (condition != kNoHook) {
    state.counters["hook_missed"] = static_cast<double>(samples.size() - hookSamples.size());
  }
  if (recording) {
    state.counters["events_per_input"] = static_cast<double>(perInput);
    state.counters["restarts"] = restarts;
    state.counters["ended_by_itself"] = ended;
  }
}

void BM_RecordHookKeyDown(benchmark::State& state) {
  HookCost(state, false);
}
void BM_RecordHookClick(benchmark::State& state) {
  HookCost(state, true);
}
BENCHMARK(BM_RecordHookKeyDown)
    ->DenseRange(kNoHook, kAutomationHangs)
    ->Iterations(20000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RecordHookClick)
    ->DenseRange(kNoHook, kAutomationHangs)
    ->Iterations(20000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// The event thread's work for one input, on the bench thread: the event built (the window, the
// element, the key's text) and written as a frame. Its inverse bounds the events per second one
// recording can deliver, whatever the hooks and the pipe cost.
void BM_RecordEventBuild(benchmark::State& state) {
  const bool click = state.range(0) != 0;
  testing::EmptyInput input;
  HoldableOutput output;
  platform::sim::SimPlatform sim{input, output};
  platform::sim::ApplyScene(sim, "default", kParent);
  platform::Platform& p = sim.Get();
  UiaObserver observer(p);
  RecordingEventBuilder builder(p, observer);
  FrameWriter writer(output);
  CapturedInput captured;
  captured.fileTime = p.system.SystemTimeAsFileTime();
  if (click) {
    captured.kind = CapturedKind::kMouse;
    captured.window = p.windows.RootWindow(p.windows.WindowFromPoint(kClickX, kClickY));
    captured.message = platform::kWmLButtonDown;
    captured.x = kClickX;
    captured.y = kClickY;
  } else {
    const platform::WindowHandle foreground = p.windows.ForegroundWindow();
    captured.kind = CapturedKind::kKey;
    captured.window = p.windows.RootWindow(foreground);
    captured.message = platform::kWmKeyDown;
    captured.virtualKey = 'A';
    captured.scanCode = 'A';
    captured.layout = p.input.KeyboardLayoutOf(p.windows.WindowThreadId(foreground));
  }
  for (auto _ : state) {
    std::optional<Json> event = builder.Build(captured, [] { return true; });
    if (!event) {
      state.SkipWithError("no event");
      break;
    }
    writer.WriteJson(BuildEvent(std::move(*event)));
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(click ? "mouse.click" : "keyboard.text");
}
BENCHMARK(BM_RecordEventBuild)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// ---- The real helper, its user channel and a parent reading through the pipe.

using client::ClientFrame;
using client::HelperClient;
using client::HelperProcess;
using client::LaunchOptions;
using client::UserChannel;

class EndToEnd {
 public:
  EndToEnd() {
    socket_ = (std::filesystem::temp_directory_path() /
               ("velmora-record-bench-" + std::to_string(getpid()) + ".sock"))
                  .string();
    client_ = std::make_unique<HelperClient>(HelperProcess::Launch(
        VELMORA_HELPER_PATH, LaunchOptions{{}, {{"VELMORA_SIM_USER", socket_}}}));
    // Timed on the reader thread as each frame is decoded, before anyone waits for it.
    client_->SetObserver([this](bool toHelper, const ClientFrame& frame) {
      if (toHelper || frame.kind != client::kJsonFrameKind) return;
      if (frame.json.value("type", "") != "event") return;
      const nlohmann::json& event = frame.json["event"];
      if (!event.is_object() || !event.contains("kind")) return;
      const Clock::time_point now = Clock::now();
      {
        std::lock_guard lock(mutex_);
        ++events_;
        if (event["kind"] == "keyboard.text") {
          ++keys_;
          lastKey_ = now;
        }
      }
      changed_.notify_all();
    });
    client_->Handshake();
    user_ = std::make_unique<UserChannel>(UserChannel::Connect(socket_));
  }

  // A new recording, with its first event read.
  bool StartRecording() {
    const std::size_t before = Events();
    const nlohmann::json reply = client_->Request("record.start");
    if (!reply.value("ok", false)) return false;
    return WaitUntil([&] { return events_ > before; }, std::chrono::seconds(5));
  }
  void StopRecording() { client_->Request("record.stop"); }
  bool PauseRecording() { return client_->Request("record.pause").value("ok", false); }
  std::string User(const std::string& line) { return user_->Command(line); }

  std::size_t Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::size_t Keys() {
    std::lock_guard lock(mutex_);
    return keys_;
  }
  Clock::time_point LastKey() {
    std::lock_guard lock(mutex_);
    return lastKey_;
  }
  // Until the key events read reach `count`; false when none came for `quiet`.
  bool WaitForKeys(std::size_t count, std::chrono::milliseconds quiet) {
    std::unique_lock lock(mutex_);
    for (;;) {
      const std::size_t seen = keys_;
      if (changed_.wait_for(lock, quiet, [&] { return keys_ >= count || keys_ != seen; })) {
        if (keys_ >= count) return true;
        continue;
      }
      return false;
    }
  }

 private:
  template <typename Condition>
  bool WaitUntil(Condition condition, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, condition);
  }

  std::string socket_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t events_ = 0;
  std::size_t keys_ = 0;
  Clock::time_point lastKey_{};
  std::unique_ptr<HelperClient> client_;
  std::unique_ptr<UserChannel> user_;
};

// Lower-case letters only: one key each, no Shift, nothing that moves the focus.
std::string Letters(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text.push_back(static_cast<char>('a' + i % 26));
  return text;
}

constexpr std::size_t kKeysPerIteration = 20000;

enum EndToEndMode : int { kNoRecording, kRecordingRuns, kRecordingPaused };

// Arguments: the most keys the parent lets be typed and not yet read (0: no limit, the user
// types as fast as the channel takes them), the keys of one "type" command, and the mode. With
// no recording or a paused one (its hooks installed, returning at once), the figure is how fast
// the simulated user can type: the ceiling of the others.
void BM_RecordEndToEnd(benchmark::State& state) {
  const auto window = static_cast<std::size_t>(state.range(0));
  const auto perCommand = static_cast<std::size_t>(state.range(1));
  const auto mode = static_cast<int>(state.range(2));
  const bool recording = mode == kRecordingRuns;
  EndToEnd helper;
  const std::string command = "type " + Letters(perCommand);
  std::size_t sentTotal = 0;
  std::size_t receivedTotal = 0;
  double seconds = 0;
  int ended = 0;
  for (auto _ : state) {
    if (mode != kNoRecording &&
        (!helper.StartRecording() || (mode == kRecordingPaused && !helper.PauseRecording()))) {
      state.SkipWithError("no recording");
      break;
    }
    const std::size_t base = helper.Keys();
    std::size_t sent = 0;
    const Clock::time_point start = Clock::now();
    while (sent < kKeysPerIteration) {
      // Room for the whole command among the unread keys.
      const std::size_t typed = sent + perCommand;
      if (window != 0 && typed > window &&
          !helper.WaitForKeys(base + typed - window, std::chrono::milliseconds(2000))) {
        break;  // the events stopped coming: the rest counts as lost below
      }
      if (helper.User(command) != "ok") {
        state.SkipWithError("the user channel refused the command");
        break;
      }
      sent += perCommand;
    }
    Clock::time_point end = Clock::now();
    if (recording) {
      helper.WaitForKeys(base + sent, std::chrono::milliseconds(1000));
      end = std::max(end, helper.LastKey());
      // A recording that could not deliver its events in time has ended by itself.
      ended += helper.PauseRecording() ? 0 : 1;
    }
    if (mode != kNoRecording) helper.StopRecording();
    const double took = std::chrono::duration<double>(end - start).count();
    state.SetIterationTime(took);
    seconds += took;
    sentTotal += sent;
    receivedTotal += recording ? helper.Keys() - base : sent;
  }
  // Events read per second while recording, keys typed per second otherwise.
  state.counters["keys_sent"] = static_cast<double>(sentTotal);
  state.counters["per_s"] = seconds > 0 ? static_cast<double>(receivedTotal) / seconds : 0;
  if (recording) {
    state.counters["events_read"] = static_cast<double>(receivedTotal);
    state.counters["lost"] = static_cast<double>(sentTotal - receivedTotal);
    state.counters["ended_by_itself"] = ended;
  }
  state.SetLabel(mode == kNoRecording       ? "no recording: keys typed"
                 : mode == kRecordingPaused ? "recording paused: keys typed"
                 : window == 0              ? "open loop"
                               : "parent keeps at most " + std::to_string(window) + " unread");
}
BENCHMARK(BM_RecordEndToEnd)
    ->Args({0, 1000, kNoRecording})
    ->Args({0, 1000, kRecordingPaused})
    ->Args({0, 1000, kRecordingRuns})
    ->Args({1000, 250, kRecordingRuns})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// One key from the user's command to the parent reading its event, beside the same command's
// round trip with no recording.
void BM_RecordEventLatency(benchmark::State& state) {
  const bool recording = state.range(0) != 0;
  EndToEnd helper;
  if (recording && !helper.StartRecording()) return state.SkipWithError("no recording");
  std::vector<double> latencies;
  std::vector<double> commands;
  for (auto _ : state) {
    const std::size_t before = helper.Keys();
    const Clock::time_point start = Clock::now();
    if (helper.User("press A") != "ok") {
      state.SkipWithError("the user channel refused the command");
      break;
    }
    const Clock::time_point answered = Clock::now();
    Clock::time_point end = answered;
    if (recording) {
      if (!helper.WaitForKeys(before + 1, std::chrono::milliseconds(2000))) {
        state.SkipWithError("the event did not come");
        break;
      }
      end = helper.LastKey();
    }
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    latencies.push_back(Microseconds(end - start));
    commands.push_back(Microseconds(answered - start));
  }
  if (recording) helper.StopRecording();
  ReportPercentiles(state, latencies);
  ReportPercentiles(state, commands, "command_");
  state.SetLabel(recording ? "command sent to event read" : "no recording: command round trip");
}
BENCHMARK(BM_RecordEventLatency)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(2000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmora::computer_use
