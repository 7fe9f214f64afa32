#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/platform_error.h"
#include "observe/uia_observer.h"
#include "support/sim_desktop_test.h"

namespace velmora::computer_use {
namespace {

using platform::WindowHandle;
using platform::sim::SimElement;
using platform::sim::SimElementId;
using platform::sim::SimMonitor;
using platform::sim::SimProcess;
using testing::FailureCode;

constexpr platform::ProcessId kAppPid = 4242;
const std::string kAppIdentity =
    "exe_path_sha256:94501dc40f1f665f7c2c2ac9c36adc3911d976a29337594d63016ccc213bbf88";

class ObservationTest : public testing::SimDesktopTest {
 protected:
  ObservationTest() {
    sim_.ProcessInfo().AddProcess(kAppPid, SimProcess{u"C:\\Tools\\app.exe", 0x2000, 1, true});
    sim_.Displays().AddMonitor(SimMonitor{{0, 0, 1920, 1080}, u"\\\\.\\DISPLAY1", {96, 96}});
    sim_.Displays().AddMonitor(SimMonitor{{1920, 0, 3840, 1080}, u"\\\\.\\DISPLAY2", {144, 144}});
    window_ = sim_.Windows().AddWindow(kAppPid, u"App");
    sim_.Windows().SetForegroundWindow(window_);
    root_ = Automation().SetWindowElement(
        window_, ElementBuilder(platform::kUiaWindowControlTypeId, u"App", {0, 0, 800, 600}));
    button_ = Automation().AddChild(
        root_, ElementBuilder(platform::kUiaButtonControlTypeId, u"OK", {10, 10, 90, 40})
                   .Patterns({platform::kUiaInvokePatternId})
                   .AutomationId(u"ok"));
  }
  platform::sim::SimAutomation& Automation() { return sim_.Automation(); }

  UiaObserver observer_{sim_.Get()};
  WindowHandle window_;
  SimElementId root_ = 0;
  SimElementId button_ = 0;
};

TEST_F(ObservationTest, NodesRolesActionsAndJson) {
  using namespace platform;
  using sim::UiaCall;
  const auto add = [this](const sim::SimElement& element, SimElementId parent = 0) {
    return Automation().AddChild(parent == 0 ? root_ : parent, element);
  };
  const auto edit = [](std::u16string name, Rect bounds) {
    return ElementBuilder(kUiaEditControlTypeId, std::move(name), bounds).Value(u"");
  };
  add(edit(u"secret", {20, 50, 220, 70}).Password());
  add(edit(u"Path", {20, 80, 220, 100}).ReadOnly());
  add(ElementBuilder(kUiaCheckBoxControlTypeId, u"Wrap", {2000, 10, 2100, 30})
          .Patterns({kUiaTogglePatternId}));
  add(ElementBuilder(kUiaListControlTypeId, u"Items", {20, 120, 220, 400})
          .Patterns({kUiaScrollPatternId}));
  const SimElementId titleBar =
      add(ElementBuilder(kUiaTitleBarControlTypeId, u"", {0, 0, 800, 30}));
  for (const auto& [name, id, left] :
       {std::tuple{u"", u"Close", 770}, std::tuple{u"?", u"Help", 740}}) {
    add(ElementBuilder(kUiaButtonControlTypeId, name, {left, 0, left + 30, 30})
            .Patterns({kUiaInvokePatternId})
            .AutomationId(id),
        titleBar);
  }
  add(ElementBuilder(kUiaTextControlTypeId, u"x", {1, 1, 2, 2})
          .Failing({UiaCall::kControlType, UiaCall::kBoundingRectangle, UiaCall::kIsEnabled}));

  const Observation observation = observer_.ObserveForeground();
  ASSERT_EQ(observation.targets.size(), 10u);
  const auto json = [&](std::size_t i) { return NodeToJson(observation.targets[i]); };
  EXPECT_EQ(json(1), Json::parse(R"({"id":"uia:1","parentId":"uia:0","role":"button","name":"OK",
    "automationId":"ok","controlKind":"","actions":["click"],"enabled":true,"focused":false,
    "bounds":{"x":10,"y":10,"width":80,"height":30,"displayId":"\\\\.\\DISPLAY1","scaleFactor":1}})"));
  // Password: no name key, no typing.
  EXPECT_FALSE(json(2).contains("name"));
  // Every node's telling fields, each node a superset: 3 is the read-only edit, 9 fails its reads.
  const Json fields = Json::parse(R"([{"role":"window"}, {}, {"sensitive":true,"actions":[]},
    {"actions":[]}, {"actions":["click"],"bounds":{"scaleFactor":1.5,"displayId":"\\\\.\\DISPLAY2"}},
    {"actions":["scroll_up_page","scroll_down_page"]}, {},
    {"controlKind":"window_close","name":"Close window"}, {"controlKind":"window_control","name":"?"},
    {"role":"control","enabled":true,"bounds":{"width":0,"displayId":""}}])");
  for (std::size_t i = 0; i < fields.size(); ++i) {
    Json merged = json(i);
    merged.merge_patch(fields[i]);
    EXPECT_EQ(merged, json(i)) << i;
  }
}

TEST_F(ObservationTest, StateTextIsByteExact) {
  const Observation observation = observer_.ObserveForeground();
  const std::string z(1, '\0');  // the field separator
  const std::string expected = kAppIdentity + z + observation.windowIdentity + z +
                               std::to_string(observation.topologyGeneration) + "\nuia:0" + z +
                               "window" + z + "App" + z + z + z + "0,0,800,600\n\nuia:1" + z +
                               "button" + z + "OK" + z + "ok" + z + z + "10,10,80,30\nclick,\n";
  EXPECT_EQ(BuildStateText(observation, observation.targets), expected);
  platform::sim::SimCrypto crypto;
  EXPECT_EQ(observation.stateHash, Sha256Hex(crypto, expected));
  EXPECT_EQ(observation.observationId.size(), 38u);
  EXPECT_EQ(observation.observationId.front(), '{');
  EXPECT_EQ(observation.capturedAt, 1767225600000u);  // the simulated clock: 2026-01-01

  // Same window again: new id, same hash. Skipping elements hashes the identity line only.
  const Observation again = observer_.ObserveForeground();
  EXPECT_NE(again.observationId, observation.observationId);
  EXPECT_EQ(again.stateHash, observation.stateHash);
  const Observation skipped = observer_.ObserveWindow(window_, true);
  EXPECT_TRUE(skipped.targets.empty());
  EXPECT_FALSE(skipped.targetsTruncated);
  EXPECT_EQ(skipped.stateHash, Sha256Hex(crypto, expected.substr(0, expected.find('\n') + 1)));
}

TEST_F(ObservationTest, WalkLimits) {
  for (int i = 0; i < 1500; ++i) {
    Automation().AddChild(root_,
                          ElementBuilder(platform::kUiaTextControlTypeId, u"t", {0, 0, 1, 1}));
  }
  Observation observation = observer_.ObserveForeground();
  ASSERT_EQ(observation.targets.size(), 1000u);
  EXPECT_TRUE(observation.targetsTruncated);
  EXPECT_EQ(observation.targets.back().id, "uia:999");

  // A chain deeper than 64 levels loses the deep part but keeps the siblings after it.
  root_ = Automation().SetWindowElement(
      window_, ElementBuilder(platform::kUiaWindowControlTypeId, u"App", {0, 0, 800, 600}));
  SimElementId parent = root_;
  for (int depth = 1; depth <= 70; ++depth) {
    parent = Automation().AddChild(parent, ElementBuilder(platform::kUiaTextControlTypeId, u"d"));
  }
  Automation().AddChild(root_, ElementBuilder(platform::kUiaButtonControlTypeId, u"after"));
  observation = observer_.ObserveForeground();
  EXPECT_TRUE(observation.targetsTruncated);
  ASSERT_EQ(observation.targets.size(), 66u);  // depths 0 to 64, then the sibling
  EXPECT_EQ(observation.targets.back().name, u"after");
  EXPECT_EQ(observation.targets.back().parentId, "uia:0");
  EXPECT_EQ(observation.targets[64].parentId, "uia:63");
}

TEST_F(ObservationTest, PassedDeadlineStopsTheWalk) {
  platform::HResult result = 0;
  const std::unique_ptr<platform::UiaClient> client = sim_.Get().automation.CreateClient(result);
  ElementRef root(client->ElementFromHandle(window_, result));
  const auto walker = client->ControlViewWalker(result);
  WalkStatus status{.deadline = std::chrono::steady_clock::now()};
  std::vector<ElementNode> nodes;
  ElementTable table;
  WalkElements(sim_.Get(), *client, root, *walker, 0, status, nodes, table, "");
  EXPECT_TRUE(nodes.empty());
  EXPECT_TRUE(status.truncated);
  EXPECT_TRUE(status.stop);
}

TEST_F(ObservationTest, StalenessRules) {
  EXPECT_FALSE(observer_.IsObservationCurrent("", ""));
  Observation o = observer_.ObserveForeground();
  EXPECT_TRUE(observer_.IsObservationCurrent(o.observationId, o.stateHash));
  EXPECT_FALSE(observer_.IsObservationCurrent(o.observationId, std::string(64, '0')));
  // Another window takes the foreground, even of the same application.
  const WindowHandle other = sim_.Windows().AddWindow(kAppPid, u"Other");
  sim_.Windows().SetForegroundWindow(other);
  EXPECT_FALSE(observer_.IsObservationCurrent(o.observationId, o.stateHash));
  sim_.Windows().SetForegroundWindow(window_);
  EXPECT_TRUE(observer_.IsObservationCurrent(o.observationId, o.stateHash));
  // A new monitor.
  sim_.Displays().AddMonitor(SimMonitor{{0, 1080, 1920, 2160}, u"\\\\.\\DISPLAY3", {96, 96}});
  EXPECT_FALSE(observer_.IsObservationCurrent(o.observationId, o.stateHash));
  o = observer_.ObserveForeground();
  // A locked session, then a closed window.
  sim_.Sessions().SetSessionFlags(0);
  EXPECT_FALSE(observer_.IsObservationCurrent(o.observationId, o.stateHash));
  sim_.Sessions().SetSessionFlags(1);
  EXPECT_TRUE(observer_.IsObservationCurrent(o.observationId, o.stateHash));
  // An application observation is not bound to the foreground.
  Observation app = observer_.ObserveApplication(kAppIdentity, o.windowIdentity, false);
  sim_.Windows().SetForegroundWindow(other);
  EXPECT_TRUE(observer_.IsObservationCurrent(app.observationId, app.stateHash));
  sim_.Windows().RemoveWindow(window_);
  EXPECT_FALSE(observer_.IsObservationCurrent(app.observationId, app.stateHash));
}

TEST_F(ObservationTest, FailedObservationKeepsThePreviousOne) {
  const Observation o = observer_.ObserveForeground();
  sim_.System().SetGuidFails(true);
  EXPECT_EQ(FailureCode([&] { observer_.ObserveForeground(); }), "identifier_failed");
  EXPECT_TRUE(observer_.IsObservationCurrent(o.observationId, o.stateHash));
  sim_.System().SetGuidFails(false);
  Automation().FailElementFromHandle(static_cast<platform::HResult>(0x80004005));
  EXPECT_THROW(observer_.ObserveForeground(), PlatformError);
  EXPECT_TRUE(observer_.IsObservationCurrent(o.observationId, o.stateHash));
}

TEST_F(ObservationTest, ApplicationLookup) {
  EXPECT_EQ(observer_.FindApplicationWindows(kAppIdentity, "", false).size(), 1u);
  const WindowHandle dialog = sim_.Windows().AddOwnedWindow(kAppPid, u"Dialog", window_);
  EXPECT_EQ(FailureCode([&] { observer_.ObserveApplication(kAppIdentity, "", false); }),
            "target_ambiguous");
  // Activation-only lookups skip owned windows unless named, but keep minimized ones.
  EXPECT_EQ(observer_.FindApplicationWindows(kAppIdentity, "", true).size(), 1u);
  sim_.Windows().SetWindowVisible(dialog, false);
  sim_.Windows().SetWindowMinimized(window_, true);
  EXPECT_EQ(FailureCode([&] { observer_.FindApplicationWindows(kAppIdentity, "", false); }),
            "app_not_found");
  EXPECT_EQ(observer_.FindApplicationWindows(kAppIdentity, "", true).size(), 1u);
  EXPECT_EQ(
      FailureCode([&] { observer_.FindApplicationWindows(kAppIdentity, "hwnd:1:pid:1", true); }),
      "target_not_found");
  EXPECT_EQ(FailureCode([&] { observer_.FindApplicationWindows("exe_path_sha256:00", "", false); }),
            "app_not_found");

  // Elevated: refused rather than not found.
  sim_.ProcessInfo().AddProcess(9001, SimProcess{u"C:\\Admin\\tool.exe", 0x3000, 1, true});
  sim_.Windows().AddWindow(9001, u"Admin");
  const std::string admin =
      "exe_path_sha256:" + Sha256Hex(sim_.Get().crypto, "C:\\Admin\\tool.exe");
  EXPECT_EQ(FailureCode([&] { observer_.FindApplicationWindows(admin, "", false); }),
            "uipi_blocked");

  // 128 windows are returned, 129 are too many.
  sim_.ProcessInfo().AddProcess(9002, SimProcess{u"C:\\Many\\many.exe", 0x2000, 1, true});
  const std::string many = "exe_path_sha256:" + Sha256Hex(sim_.Get().crypto, "C:\\Many\\many.exe");
  for (int i = 0; i < 128; ++i) sim_.Windows().AddWindow(9002, u"m");
  EXPECT_EQ(observer_.FindApplicationWindows(many, "", false).size(), 128u);
  sim_.Windows().AddWindow(9002, u"m");
  EXPECT_EQ(FailureCode([&] { observer_.FindApplicationWindows(many, "", false); }),
            "target_ambiguous");
}

TEST_F(ObservationTest, TargetResolution) {
  Observation o = observer_.ObserveForeground();
  EXPECT_TRUE(observer_.ResolveTarget("uia:1", o.observationId, o.stateHash));
  EXPECT_FALSE(observer_.ResolveTarget("uia:7", o.observationId, o.stateHash));
  EXPECT_FALSE(observer_.ResolveTarget("focused", o.observationId, o.stateHash));

  SimElement button = Automation().Get(button_);
  SimElement changed = button;
  changed.focused = true;  // focus alone does not matter
  Automation().Update(button_, changed);
  EXPECT_TRUE(observer_.ResolveTarget("uia:1", o.observationId, o.stateHash));
  for (const auto& change : std::vector<std::function<void(SimElement&)>>{
           [](SimElement& e) { e.enabled = false; }, [](SimElement& e) { e.bounds.left += 1; },
           [](SimElement& e) { e.name = u"Cancel"; }, [](SimElement& e) { e.patterns.clear(); }}) {
    changed = button;
    change(changed);
    Automation().Update(button_, changed);
    EXPECT_FALSE(observer_.ResolveTarget("uia:1", o.observationId, o.stateHash));
  }
  Automation().Update(button_, button);
  EXPECT_TRUE(observer_.ResolveTarget("uia:1", o.observationId, o.stateHash));
  // A newer observation replaces the ids.
  const Observation newer = observer_.ObserveForeground();
  EXPECT_FALSE(observer_.ResolveTarget("uia:1", o.observationId, o.stateHash));
  EXPECT_TRUE(observer_.ResolveTarget("uia:1", newer.observationId, newer.stateHash));
  Automation().Remove(button_);
  EXPECT_FALSE(observer_.ResolveTarget("uia:1", newer.observationId, newer.stateHash));
}

TEST_F(ObservationTest, SingleElementDescriptionsAndClientFailure) {
  EXPECT_FALSE(observer_.DescribeFocusedElement());
  Automation().SetFocusedElement(button_);
  EXPECT_EQ(observer_.DescribeFocusedElement()->id, "focused");
  const std::optional<ElementNode> pointed = observer_.DescribeElementAtPoint(20, 20);
  ASSERT_TRUE(pointed);
  EXPECT_EQ(pointed->id, "pointed");
  EXPECT_EQ(pointed->name, u"OK");
  EXPECT_TRUE(pointed->parentId.empty());
  EXPECT_FALSE(observer_.DescribeElementAtPoint(5000, 5000));

  Automation().FailCreateClient(static_cast<platform::HResult>(0x80040154));
  EXPECT_THAT([&] { UiaObserver failing(sim_.Get()); },
              ::testing::Throws<PlatformError>(::testing::Field(
                  &PlatformError::hresult, static_cast<platform::HResult>(0x80040154))));
}

}  // namespace
}  // namespace velmora::computer_use
