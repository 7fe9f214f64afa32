// The scenes of the Linux helper: a desktop with a few applications whose windows show the
// cases an observation meets, and the session states on top of it.
#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>

#include "platform/sim/sim_element_builder.h"
#include "platform/sim/sim_platform.h"

namespace velmora::computer_use::platform::sim {
namespace {

constexpr ProcessId kNotesPid = 5001;
constexpr ProcessId kReportPid = 5002;
constexpr ProcessId kFrozenPid = 5003;
constexpr ProcessId kResizingPid = 5004;
constexpr ProcessId kEmptyPid = 5005;
constexpr ProcessId kConsolePid = 5006;
constexpr ProcessId kSettingsPid = 5007;

// A top-level window with its rectangle and a window element of the same bounds.
SimElementId AddAppWindow(SimPlatform& platform, WindowHandle window, Rect rect,
                          const std::u16string& title) {
  platform.Windows().SetWindowRect(window, rect);
  return platform.Automation().SetWindowElement(
      window, ElementBuilder(kUiaWindowControlTypeId, title, rect));
}

void AddNotes(SimPlatform& platform) {
  platform.ProcessInfo().AddProcess(kNotesPid, SimProcess{u"C:\\Program Files\\Notes\\notes.exe"});
  for (int i = 0; i < 3; ++i) {
    const std::u16string title =
        u"Notes - " + std::u16string(1, static_cast<char16_t>(u'a' + i)) + u".txt";
    const WindowHandle window = platform.Windows().AddWindow(kNotesPid, title);
    const Rect rect{40 + 30 * i, 40 + 30 * i, 840 + 30 * i, 640 + 30 * i};
    const SimElementId root = AddAppWindow(platform, window, rect, title);
    platform.Automation().AddChild(
        root, ElementBuilder(kUiaEditControlTypeId, u"Text",
                             {rect.left + 8, rect.top + 40, rect.right - 8, rect.bottom - 8})
                  .Value(u""));
  }
}

// 1,000 elements, a noisy picture that only JPEG fits, and 150 lines of text.
void AddReport(SimPlatform& platform) {
  platform.ProcessInfo().AddProcess(kReportPid,
                                    SimProcess{u"C:\\Program Files\\Report\\report.exe"});
  const WindowHandle window =
      platform.Windows().AddWindow(kReportPid, u"Quarterly report - Report");
  const Rect rect{0, 0, 1600, 1000};
  const SimElementId root = AddAppWindow(platform, window, rect, u"Quarterly report - Report");
  int index = 0;
  for (int section = 0; section < 37; ++section) {
    const SimElementId pane = platform.Automation().AddChild(
        root,
        ElementBuilder(50033,
                       u"Section " + std::u16string(1, static_cast<char16_t>(u'A' + section % 26)),
                       {0, 30, 1600, 1000}));
    for (int row = 0; row < 26; ++row, ++index) {
      const std::int32_t top = 40 + (index % 40) * 24;
      const std::int32_t left = 20 + (index / 40) * 60;
      platform.Automation().AddChild(
          pane, ElementBuilder(row % 2 == 0 ? kUiaButtonControlTypeId : kUiaTextControlTypeId,
                               u"Row " + std::u16string(1, static_cast<char16_t>(u'0' + row % 10)),
                               {left, top, left + 56, top + 22})
                    .Patterns(row % 2 == 0 ? std::set<std::int32_t>{kUiaInvokePatternId}
                                           : std::set<std::int32_t>{}));
    }
  }
  SimWindowCapture capture;
  capture.content = FrameContent::kNoise;
  for (int line = 0; line < 150; ++line) {
    capture.textLines.push_back(u"Line " +
                                std::u16string(1, static_cast<char16_t>(u'0' + line % 10)));
  }
  platform.Capture().SetWindowCapture(window, std::move(capture));
}

void AddTroubledWindows(SimPlatform& platform) {
  platform.ProcessInfo().AddProcess(kFrozenPid, SimProcess{u"C:\\Tools\\frozen.exe"});
  const WindowHandle frozen = platform.Windows().AddWindow(kFrozenPid, u"Frozen");
  AddAppWindow(platform, frozen, {100, 100, 500, 400}, u"Frozen");
  SimWindowCapture none;
  none.delivery = FrameDelivery::kNone;
  platform.Capture().SetWindowCapture(frozen, none);

  platform.ProcessInfo().AddProcess(kResizingPid, SimProcess{u"C:\\Tools\\resizing.exe"});
  const WindowHandle resizing = platform.Windows().AddWindow(kResizingPid, u"Resizing");
  AddAppWindow(platform, resizing, {120, 120, 520, 420}, u"Resizing");
  SimWindowCapture larger;
  larger.itemSize = PixelSize{401, 300};
  platform.Capture().SetWindowCapture(resizing, larger);

  platform.ProcessInfo().AddProcess(kEmptyPid, SimProcess{u"C:\\Tools\\empty.exe"});
  const WindowHandle empty = platform.Windows().AddWindow(kEmptyPid, u"Empty");
  AddAppWindow(platform, empty, {200, 200, 200, 200}, u"Empty");
}

constexpr std::int32_t kUiaTreeItemControlTypeId = 50024;
constexpr std::int32_t kApplyControlId = 1001;
constexpr std::int32_t kDarkModeControlId = 1002;

// The parent's own window in the foreground: a chat with a status line, a message field, a
// password field, a check box and a button that sends the message.
void ShowParentWindow(SimPlatform& platform, ProcessId parentProcessId, WindowHandle window) {
  platform.ProcessInfo().AddProcess(parentProcessId,
                                    SimProcess{u"C:\\Program Files\\Velmora\\Velmora.exe"});
  const Rect rect{100, 60, 1700, 1060};
  const SimElementId root = AddAppWindow(platform, window, rect, u"Velmora Demo");
  SimAutomation& automation = platform.Automation();
  const SimElementId status = automation.AddChild(
      root, ElementBuilder(kUiaTextControlTypeId, u"Ready", {120, 100, 400, 130})
                .AutomationId(u"Status"));
  const SimElementId message = automation.AddChild(
      root, ElementBuilder(kUiaEditControlTypeId, u"Message", {120, 960, 1500, 1000}).Value(u""));
  automation.AddChild(
      root, ElementBuilder(kUiaButtonControlTypeId, u"Send", {1520, 960, 1680, 1000})
                .Patterns({kUiaInvokePatternId})
                .OnInvoke([&automation, status, message] {
                  automation.SetName(status, u"Sent: " + automation.Value(message).value_or(u""));
                  automation.SetValue(message, u"");
                }));
  automation.AddChild(root, ElementBuilder(kUiaEditControlTypeId, u"Password", {120, 900, 700, 940})
                                .Value(u"")
                                .Password());
  automation.AddChild(
      root, ElementBuilder(kUiaCheckBoxControlTypeId, u"Remember me", {720, 900, 900, 940})
                .Patterns({kUiaTogglePatternId}));
  automation.SetFocusedElement(message);
  SimWindowCapture capture;
  capture.textLines = {u"Velmora Demo", u"Ready", u"Send"};
  platform.Capture().SetWindowCapture(window, std::move(capture));

  // The parent's recording controller, beside the other windows, never in front at start.
  const WindowHandle controller =
      platform.Windows().AddWindow(parentProcessId, u"Velmora Recording Controller");
  const SimElementId controllerRoot =
      AddAppWindow(platform, controller, {1720, 700, 2120, 800}, u"Velmora Recording Controller");
  automation.AddChild(controllerRoot,
                      ElementBuilder(kUiaTextControlTypeId, u"Recording", {1740, 720, 2100, 750}));
}

// A settings dialog of another program, beside the parent's window: classic push button and
// check box windows, a tree item that shows a child when expanded, read-only and editable
// fields, a scrolling list and a status line.
void AddSettings(SimPlatform& platform) {
  SimWindows& windows = platform.Windows();
  SimAutomation& automation = platform.Automation();
  platform.ProcessInfo().AddProcess(kSettingsPid,
                                    SimProcess{u"C:\\Program Files\\Settings\\settings.exe"});
  const WindowHandle window = windows.AddWindow(kSettingsPid, u"Settings");
  const SimElementId root = AddAppWindow(platform, window, {1720, 60, 2320, 660}, u"Settings");

  const Rect darkModeRect{1740, 100, 1940, 130};
  const WindowHandle darkModeWindow =
      windows.AddControl(kSettingsPid, window, u"Button", u"Dark mode", kWsChild | kBsAutoCheckBox,
                         kDarkModeControlId);
  windows.SetWindowRect(darkModeWindow, darkModeRect);
  automation.AddChild(root, ElementBuilder(kUiaCheckBoxControlTypeId, u"Dark mode", darkModeRect)
                                .Patterns({kUiaTogglePatternId})
                                .NativeWindow(darkModeWindow));

  const SimElementId advancedId = automation.AddChild(
      root, ElementBuilder(kUiaTreeItemControlTypeId, u"Advanced", {1740, 140, 1940, 170})
                .Patterns({kUiaExpandCollapsePatternId}));
  // The reaction needs the element's own id, so it is set once the element is in the tree.
  SimElement advanced = automation.Get(advancedId);
  advanced.reactions.onExpandCollapse = [&automation, advancedId](bool expanded) {
    if (expanded) {
      automation.AddChild(
          advancedId, ElementBuilder(kUiaTreeItemControlTypeId, u"Proxy", {1760, 175, 1940, 205}));
    } else if (const SimElementId proxy =
                   automation.FindByName(automation.WindowOf(advancedId), u"Proxy")) {
      automation.Remove(proxy);
    }
  };
  automation.Update(advancedId, std::move(advanced));

  automation.AddChild(root,
                      ElementBuilder(kUiaEditControlTypeId, u"Version", {1740, 220, 2040, 250})
                          .Value(u"1.0.0")
                          .ReadOnly());
  automation.AddChild(root, ElementBuilder(kUiaEditControlTypeId, u"Name", {1740, 260, 2040, 290})
                                .Value(u"guest")
                                .Focused());
  const SimElementId items = automation.AddChild(
      root, ElementBuilder(kUiaListControlTypeId, u"Items", {1740, 300, 2040, 560})
                .Patterns({kUiaScrollPatternId}));
  for (int item = 0; item < 6; ++item) {
    const std::int32_t top = 300 + 40 * item;
    automation.AddChild(
        items, ElementBuilder(kUiaListItemControlTypeId,
                              u"Item " + std::u16string(1, static_cast<char16_t>(u'1' + item)),
                              {1740, top, 2040, top + 40})
                   .Patterns({kUiaSelectionItemPatternId}));
  }

  const Rect applyRect{1740, 600, 1840, 640};
  const WindowHandle applyWindow = windows.AddControl(kSettingsPid, window, u"Button", u"Apply",
                                                      kWsChild | kBsPushButton, kApplyControlId);
  windows.SetWindowRect(applyWindow, applyRect);
  const SimElementId status = automation.AddChild(
      root, ElementBuilder(kUiaTextControlTypeId, u"Idle", {1860, 600, 2100, 640})
                .AutomationId(u"Status"));
  // The dialog answers its button's notification, however the button was pressed.
  windows.SetWindowProcedure(
      window, [&automation, status](std::uint32_t message, std::uintptr_t wParam, std::intptr_t) {
        if (message == kWmCommand && (wParam & 0xFFFF) == kApplyControlId &&
            ((wParam >> 16) & 0xFFFF) == kBnClicked) {
          automation.SetName(status, u"Applied");
        }
        return std::intptr_t{0};
      });
  automation.AddChild(root,
                      ElementBuilder(kUiaButtonControlTypeId, u"Apply", applyRect)
                          .Patterns({kUiaInvokePatternId})
                          .NativeWindow(applyWindow)
                          .OnInvoke([&windows, window, applyWindow] {
                            windows.SendWindowMessage(
                                window, kWmCommand,
                                static_cast<std::uintptr_t>(kApplyControlId) | (kBnClicked << 16),
                                static_cast<std::intptr_t>(applyWindow));
                          }));
}

}  // namespace

bool ApplyScene(SimPlatform& platform, std::string_view scene, ProcessId parentProcessId) {
  constexpr std::string_view kScenes[] = {"default",
                                          "automation_unavailable",
                                          "foreign_foreground",
                                          "elevated_foreground",
                                          "locked",
                                          "secure_desktop",
                                          "query_fails",
                                          "deny_foreground_grant",
                                          "foreground_moves",
                                          "no_capture"};
  if (std::find(std::begin(kScenes), std::end(kScenes), scene) == std::end(kScenes)) return false;
  if (scene == "automation_unavailable") {
    platform.Automation().FailCreateClient(static_cast<HResult>(0x80040154));  // not registered
    return true;
  }
  AddNotes(platform);
  AddReport(platform);
  AddTroubledWindows(platform);
  AddSettings(platform);
  if (scene == "foreign_foreground") {
    platform.Windows().ShowForegroundWindow(1);
    return true;
  }
  if (scene == "elevated_foreground") {
    platform.ProcessInfo().AddProcess(kConsolePid,
                                      SimProcess{u"C:\\Windows\\System32\\mmc.exe", 0x3000});
    const WindowHandle console = platform.Windows().ShowForegroundWindow(kConsolePid);
    AddAppWindow(platform, console, {0, 0, 800, 600}, u"Console");
    return true;
  }
  const WindowHandle parentWindow = platform.Windows().ShowForegroundWindow(parentProcessId);
  ShowParentWindow(platform, parentProcessId, parentWindow);
  if (scene == "default") return true;
  if (scene == "locked") {
    platform.Sessions().SetSessionFlags(0);
    platform.Sessions().SwitchInputDesktop(u"Winlogon");
  } else if (scene == "secure_desktop") {
    platform.Sessions().SwitchInputDesktop(u"Screen-saver");
  } else if (scene == "query_fails") {
    platform.Sessions().SetSessionQueryFails(true);
  } else if (scene == "deny_foreground_grant") {
    platform.Windows().SetDenyForegroundGrant(true);
  } else if (scene == "foreground_moves") {
    // The foreground changes while the screenshot is taken.
    SimWindowCapture capture;
    capture.onStartCapture = [&platform] { platform.Windows().ClearForeground(); };
    platform.Capture().SetWindowCapture(parentWindow, std::move(capture));
  } else if (scene == "no_capture") {
    platform.Capture().SetSupported(false);
  }
  return true;
}

}  // namespace velmora::computer_use::platform::sim
