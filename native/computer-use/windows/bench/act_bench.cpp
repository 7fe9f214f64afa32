// "act" through the service on the simulated desktop's default scene: a foreground click that
// the Invoke pattern answers, typing 1,000 characters (2,000 injected events), and a background
// click through a classic push button's own message. Beside them, the platform calls that one
// injected event costs on its own (the checks the helper makes before every event, and the
// event), so that the difference is the helper's own work.
#include <benchmark/benchmark.h>

#include <string>

#include "common/own_input.h"
#include "platform/sim/sim_platform.h"
#include "protocol/envelopes.h"
#include "protocol/frame_protocol.h"
#include "service/helper_service.h"
#include "support/test_support.h"

namespace velmora::computer_use {
namespace {

constexpr platform::ProcessId kParent = 77;
constexpr char kSettings[] =
    "exe_path_sha256:3d91ad2756bfe69871995ab990edfe451ab6266fa07e95630bf49b80dedb4efd";

// Keeps the last frame written, so that the benchmark can read the observation it acts on.
class LastFrameOutput final : public platform::OutputStream {
 public:
  platform::IoResult Write(const std::uint8_t* buffer, std::size_t count) override {
    if (count != 5) last_.assign(buffer, buffer + count);  // not a frame header
    return {platform::IoStatus::kOk, count};
  }
  Json LastJson() const { return Json::parse(last_.begin(), last_.end()); }

 private:
  std::vector<std::uint8_t> last_;
};

class ActBench {
 public:
  ActBench() { platform::sim::ApplyScene(sim_, "default", kParent); }

  Json Serve(const std::string& method, const Json& payload) {
    const Json frame{
        {"type", "request"}, {"requestId", "b"}, {"method", method}, {"payload", payload}};
    service_.ServeRequest(CheckRequestEnvelope(frame), frame);
    return output_.LastJson();
  }
  void Observe(const Json& payload) { observation_ = Serve("observe", payload)["result"]; }
  Json Act(const Json& action, const std::string& name) {
    std::string target;
    for (const Json& node : observation_["targets"]) {
      if (node.value("name", "") == name) target = node["id"];
    }
    return Serve("act", {{"action", action},
                         {"context",
                          {{"leaseId", "bench"},
                           {"sequence", ++sequence_},
                           {"deadline", 1e15},
                           {"observationId", observation_["id"]},
                           {"expectedStateHash", observation_["stateHash"]},
                           {"targetIdentity", target},
                           {"interaction", observation_["interaction"]}}}});
  }
  platform::sim::SimPlatform& Sim() { return sim_; }

 private:
  testing::EmptyInput input_;
  LastFrameOutput output_;
  platform::sim::SimPlatform sim_{input_, output_};
  FrameWriter writer_{output_};
  HelperService service_{sim_.Get(), writer_};
  Json observation_;
  int sequence_ = 0;
};

void BM_ActRequest(benchmark::State& state) {
  ActBench bench;
  const int which = static_cast<int>(state.range(0));
  const Json action = which == 0   ? Json{{"kind", "click"}}
                      : which == 1 ? Json{{"kind", "type"}, {"text", std::string(1000, 'x')}}
                                   : Json{{"kind", "click"}};
  const char* target = which == 0 ? "Send" : which == 1 ? "Message" : "Apply";
  bench.Observe(which == 2 ? Json{{"scope", "application"}, {"appIdentity", kSettings}}
                           : Json{{"scope", "foreground"}});
  for (auto _ : state) {
    if (!bench.Act(action, target)["result"].value("ok", false)) {
      state.SkipWithError("the act failed");
      break;
    }
    if (which == 1) bench.Sim().Input().ClearSentEvents();
  }
  if (which == 1) {
    state.counters["per_event"] = benchmark::Counter(
        2000, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  }
  state.SetLabel(which == 0   ? "foreground click, Invoke"
                 : which == 1 ? "type 1,000 characters"
                              : "background click, push button");
}
BENCHMARK(BM_ActRequest)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// The platform calls that the checks before one injected event make (the clock, the session
// snapshot, the window's record, the observation's window, identity and access, the foreground),
// then the event itself: the same calls as the helper's, without the helper.
void BM_SeamCallsOfOneEvent(benchmark::State& state) {
  ActBench bench;
  bench.Observe({{"scope", "foreground"}});
  platform::Platform& p = bench.Sim().Get();
  const platform::WindowHandle window = p.windows.RootWindow(p.windows.ForegroundWindow());
  const platform::ProcessId self = p.processes.CurrentProcessId();
  platform::InputEvent event;
  event.extraInfo = kOwnInputMarker;
  event.scanCode = u'x';
  event.flags = platform::kKeyEventUnicode;
  for (auto _ : state) {
    benchmark::DoNotOptimize(p.system.SystemTimeAsFileTime());
    for (int snapshot = 0; snapshot < 3; ++snapshot) {  // safety, and the access check twice
      benchmark::DoNotOptimize(p.sessions.ProcessIdToSessionId(self));
      benchmark::DoNotOptimize(p.sessions.QuerySessionInfo(1));
      benchmark::DoNotOptimize(p.sessions.InputDesktopName());
    }
    benchmark::DoNotOptimize(p.windows.IsWindow(window));
    benchmark::DoNotOptimize(p.windows.RootWindow(p.windows.ForegroundWindow()));
    benchmark::DoNotOptimize(p.displays.EnumerateMonitors());
    for (int access = 0; access < 2; ++access) {
      benchmark::DoNotOptimize(p.windows.IsWindow(window));
      const platform::ProcessId owner = p.windows.WindowProcessId(window);
      benchmark::DoNotOptimize(p.sessions.ProcessIdToSessionId(owner));
      benchmark::DoNotOptimize(p.processInfo.QueryIntegrityLevel(owner));
      benchmark::DoNotOptimize(p.processInfo.QueryIntegrityLevel(self));
    }
    const std::optional<std::u16string> path =
        p.processInfo.QueryImagePath(p.windows.WindowProcessId(window));
    benchmark::DoNotOptimize(p.crypto.Sha256(ToUtf8(path.value_or(u""))));
    benchmark::DoNotOptimize(p.windows.WindowTextLength(window));
    benchmark::DoNotOptimize(p.displays.EnumerateMonitors());
    benchmark::DoNotOptimize(p.windows.RootWindow(p.windows.ForegroundWindow()));
    benchmark::DoNotOptimize(p.input.SendInput({event}));
    bench.Sim().Input().ClearSentEvents();
  }
}
BENCHMARK(BM_SeamCallsOfOneEvent)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmora::computer_use
