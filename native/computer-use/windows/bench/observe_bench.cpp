// Observing a window of 1,000 elements over the simulated desktop: the walk, the state text and
// its hash, and every node as JSON. A second benchmark makes the same kind of seam calls without
// the observer, so that the difference is the time spent in the helper's own code.
#include <benchmark/benchmark.h>

#include <string>

#include "observe/uia_observer.h"
#include "observe/window_capture.h"
#include "platform/sim/sim_platform.h"
#include "protocol/envelopes.h"
#include "protocol/frame_protocol.h"
#include "service/helper_service.h"
#include "support/test_support.h"

namespace velmora::computer_use {
namespace {

using platform::sim::SimElement;
using platform::sim::SimElementId;

constexpr platform::ProcessId kAppPid = 4242;
constexpr int kGroups = 37;
constexpr int kPerGroup = 26;  // 1 + 37 * (1 + 26) = 1,000 elements

class NullOutput final : public platform::OutputStream {
 public:
  platform::IoResult Write(const std::uint8_t*, std::size_t count) override {
    return {platform::IoStatus::kOk, count};
  }
};

SimElement Leaf(int index) {
  static constexpr std::int32_t kTypes[] = {
      platform::kUiaButtonControlTypeId, platform::kUiaEditControlTypeId,
      platform::kUiaCheckBoxControlTypeId, platform::kUiaTextControlTypeId,
      platform::kUiaListItemControlTypeId};
  static constexpr std::int32_t kPatterns[] = {
      platform::kUiaInvokePatternId, platform::kUiaValuePatternId, platform::kUiaTogglePatternId, 0,
      platform::kUiaSelectionItemPatternId};
  SimElement element;
  const int kind = index % 5;
  element.controlType = kTypes[kind];
  element.name = u"Item " + std::u16string(1, static_cast<char16_t>(u'A' + index % 26)) +
                 u" of the report list";
  element.automationId = u"item" + std::u16string(1, static_cast<char16_t>(u'0' + index % 10));
  const std::int32_t top = 40 + (index % 40) * 24;
  element.bounds = {20 + (index / 40) * 60, top, 180 + (index / 40) * 60, top + 22};
  if (kPatterns[kind] != 0) element.patterns = {kPatterns[kind]};
  return element;
}

struct Scene {
  Scene() {
    sim.ProcessInfo().AddProcess(kAppPid,
                                 {u"C:\\Program Files\\Report\\report.exe", 0x2000, 1, true});
    sim.Displays().AddMonitor({{0, 0, 1920, 1080}, u"\\\\.\\DISPLAY1", {96, 96}});
    window = sim.Windows().AddWindow(kAppPid, u"Quarterly report - Report");
    sim.Windows().SetForegroundWindow(window);
    SimElement root;
    root.controlType = platform::kUiaWindowControlTypeId;
    root.name = u"Quarterly report - Report";
    root.bounds = {0, 0, 1600, 1000};
    const SimElementId rootId = sim.Automation().SetWindowElement(window, root);
    int index = 0;
    for (int group = 0; group < kGroups; ++group) {
      SimElement pane;
      pane.name = u"Section";
      pane.bounds = {0, 30, 1600, 1000};
      const SimElementId paneId = sim.Automation().AddChild(rootId, pane);
      for (int i = 0; i < kPerGroup; ++i) sim.Automation().AddChild(paneId, Leaf(index++));
    }
  }

  testing::EmptyInput input;
  NullOutput output;
  platform::sim::SimPlatform sim{input, output};
  platform::WindowHandle window;
};

void BM_ObserveThousandElements(benchmark::State& state) {
  Scene scene;
  UiaObserver observer(scene.sim.Get());
  std::size_t elements = 0;
  std::size_t bytes = 0;
  const std::uint64_t callsBefore = scene.sim.Automation().CallCount();
  for (auto _ : state) {
    const Observation observation = observer.ObserveWindow(scene.window, false);
    for (const ElementNode& node : observation.targets) bytes += NodeToJson(node).dump().size();
    elements = observation.targets.size();
    benchmark::DoNotOptimize(bytes);
  }
  const double calls = static_cast<double>(scene.sim.Automation().CallCount() - callsBefore) /
                       static_cast<double>(state.iterations());
  state.counters["elements"] = static_cast<double>(elements);
  state.counters["seam_calls_per_element"] = calls / static_cast<double>(elements);
  state.counters["time_per_element"] = benchmark::Counter(
      static_cast<double>(elements),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ObserveThousandElements)->Unit(benchmark::kMillisecond);

// The seam alone: every element's reads and the walker's steps, as the observer makes them.
void BM_SeamCallsOfTheSameWalk(benchmark::State& state) {
  Scene scene;
  platform::HResult result = 0;
  const std::unique_ptr<platform::UiaClient> client =
      scene.sim.Get().automation.CreateClient(result);
  std::size_t elements = 0;
  for (auto _ : state) {
    elements = 0;
    std::unique_ptr<platform::UiaTreeWalker> walker = client->ControlViewWalker(result);
    std::vector<std::unique_ptr<platform::UiaElement>> stack;
    stack.push_back(client->ElementFromHandle(scene.window, result));
    while (!stack.empty()) {
      std::unique_ptr<platform::UiaElement> element = std::move(stack.back());
      stack.pop_back();
      ++elements;
      benchmark::DoNotOptimize(element->CurrentControlType());
      benchmark::DoNotOptimize(element->CurrentStringProperty(platform::kUiaNamePropertyId));
      benchmark::DoNotOptimize(
          element->CurrentStringProperty(platform::kUiaAutomationIdPropertyId));
      benchmark::DoNotOptimize(element->CurrentIsEnabled());
      benchmark::DoNotOptimize(element->CurrentHasKeyboardFocus());
      benchmark::DoNotOptimize(element->CurrentIsPassword());
      benchmark::DoNotOptimize(element->CurrentBoundingRectangle());
      for (const std::int32_t pattern :
           {platform::kUiaInvokePatternId, platform::kUiaTogglePatternId,
            platform::kUiaSelectionItemPatternId, platform::kUiaExpandCollapsePatternId,
            platform::kUiaValuePatternId, platform::kUiaScrollPatternId}) {
        benchmark::DoNotOptimize(element->HasPattern(pattern));
      }
      for (auto child = walker->GetFirstChildElement(*element); child != nullptr;) {
        auto next = walker->GetNextSiblingElement(*child);
        stack.push_back(std::move(child));
        child = std::move(next);
      }
    }
  }
  state.counters["time_per_element"] = benchmark::Counter(
      static_cast<double>(elements),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SeamCallsOfTheSameWalk)->Unit(benchmark::kMillisecond);

// The whole "observe" request of the 1,000-element Report window through the service, with and
// without its 1600 x 1000 screenshot (noise: the PNG is too large, so JPEG follows), framed to a
// discarding pipe.
void BM_ObserveRequest(benchmark::State& state) {
  const bool allowVisual = state.range(0) != 0;
  testing::EmptyInput input;
  NullOutput output;
  platform::sim::SimPlatform sim(input, output);
  platform::sim::ApplyScene(sim, "default", 77);
  FrameWriter writer(output);
  HelperService service(sim.Get(), writer);
  Json frame{{"type", "request"},
             {"requestId", "bench"},
             {"method", "observe"},
             {"payload",
              {{"scope", "application"},
               {"appIdentity",
                "exe_path_sha256:45b41e87b437da2f6da4256acaac1ecece16fcb659ffaf6dc6b2e63c6022d759"},
               {"allowVisual", allowVisual}}}};
  const RequestEnvelope envelope = CheckRequestEnvelope(frame);
  for (auto _ : state) service.ServeRequest(envelope, frame);
}
BENCHMARK(BM_ObserveRequest)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The parts of the request on their own: encoding, OCR and framing of one 1600 x 1000 capture.
void BM_EncodeFullSize(benchmark::State& state) {
  const bool png = state.range(0) != 0;
  const auto content = static_cast<platform::sim::FrameContent>(state.range(1));
  platform::sim::SimBitmap bitmap({1600, 1000}, content, {});
  std::size_t bytes = 0;
  for (auto _ : state) {
    bytes = platform::sim::EncodeSimBitmap(bitmap, 1600, 1000, png, kFirstJpegQuality).size();
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["time_per_megapixel"] = benchmark::Counter(
      1.6, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetLabel(std::string(png ? "png" : "jpeg 0.72") +
                 (content == platform::sim::FrameContent::kNoise ? ", noise" : ", gradient"));
}
BENCHMARK(BM_EncodeFullSize)
    ->Args({1, 0})
    ->Args({0, 0})
    ->Args({1, 1})
    ->Args({0, 1})
    ->Unit(benchmark::kMillisecond);

void BM_RecognizeHundredFiftyLines(benchmark::State& state) {
  testing::EmptyInput input;
  NullOutput output;
  platform::sim::SimPlatform sim(input, output);
  platform::sim::SimBitmap bitmap({1600, 1000}, platform::sim::FrameContent::kGradient,
                                  std::vector<std::u16string>(150, u"Line of recognised text"));
  for (auto _ : state) benchmark::DoNotOptimize(RecognizeText(sim.Capture(), bitmap));
}
BENCHMARK(BM_RecognizeHundredFiftyLines)->Unit(benchmark::kMicrosecond);

void BM_FrameScreenshot(benchmark::State& state) {
  NullOutput output;
  FrameWriter writer(output);
  const std::vector<std::uint8_t> image(static_cast<std::size_t>(state.range(0)), 0x5A);
  for (auto _ : state) writer.WriteBinary("image:bench", image);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_FrameScreenshot)->Arg(20'000)->Arg(2'000'000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmora::computer_use
