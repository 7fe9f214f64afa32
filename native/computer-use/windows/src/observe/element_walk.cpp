#include "observe/element_walk.h"

#include "observe/window_identity.h"

namespace velmora::computer_use {
namespace {

using platform::UiaElement;

struct TitleBarControl {
  std::u16string_view automationId;
  std::u16string_view controlKind;
  std::u16string_view fallbackName;
};

constexpr TitleBarControl kTitleBarControls[] = {
    {u"Close", u"window_close", u"Close window"},
    {u"Minimize", u"window_minimize", u"Minimize window"},
    {u"Maximize", u"window_zoom", u"Zoom window"},
    {u"Restore", u"window_zoom", u"Zoom window"},
};

void ApplyTitleBar(ElementNode& node) {
  for (const TitleBarControl& control : kTitleBarControls) {
    if (node.automationId == control.automationId) {
      node.controlKind = control.controlKind;
      if (node.name.empty()) node.name = control.fallbackName;
      return;
    }
  }
  node.controlKind = u"window_control";
}

// Buttons under a title bar (up to three ancestors up, stopping at the window).
void DescribeTitleBarButton(platform::UiaClient& client, UiaElement& element, ElementNode& node) {
  platform::HResult result = 0;
  const std::unique_ptr<platform::UiaTreeWalker> walker = client.ControlViewWalker(result);
  if (!walker) return;
  std::unique_ptr<UiaElement> ancestor = walker->GetParentElement(element);
  for (int level = 0; level < 3 && ancestor; ++level) {
    const std::optional<std::int32_t> type = ancestor->CurrentControlType();
    if (!type || *type == platform::kUiaWindowControlTypeId) return;
    if (*type == platform::kUiaTitleBarControlTypeId) {
      ApplyTitleBar(node);
      return;
    }
    ancestor = walker->GetParentElement(*ancestor);
  }
}

void AppendNumber(std::string& text, std::int64_t value) {
  text += std::to_string(value);
}

}  // namespace

std::u16string RoleForControlType(std::optional<std::int32_t> controlType) {
  if (!controlType) return u"control";
  switch (*controlType) {
    case platform::kUiaButtonControlTypeId:
      return u"button";
    case platform::kUiaCheckBoxControlTypeId:
      return u"checkbox";
    case platform::kUiaComboBoxControlTypeId:
      return u"combobox";
    case platform::kUiaEditControlTypeId:
      return u"textbox";
    case platform::kUiaHyperlinkControlTypeId:
      return u"link";
    case platform::kUiaListItemControlTypeId:
      return u"listitem";
    case platform::kUiaMenuItemControlTypeId:
      return u"menuitem";
    case platform::kUiaRadioButtonControlTypeId:
      return u"radio";
    case platform::kUiaTabItemControlTypeId:
      return u"tab";
    case platform::kUiaTextControlTypeId:
      return u"text";
    case platform::kUiaWindowControlTypeId:
      return u"window";
    default:
      return u"control";
  }
}

ElementNode DescribeElement(platform::Platform& platform, platform::UiaClient& client,
                            UiaElement& element, const std::string& id) {
  ElementNode node;
  node.id = id;
  const std::optional<std::int32_t> controlType = element.CurrentControlType();
  node.role = RoleForControlType(controlType);
  node.name = element.CurrentStringProperty(platform::kUiaNamePropertyId).value_or(u"");
  node.automationId =
      element.CurrentStringProperty(platform::kUiaAutomationIdPropertyId).value_or(u"");
  if (controlType == platform::kUiaButtonControlTypeId) {
    DescribeTitleBarButton(client, element, node);
  }
  if (const std::optional<bool> enabled = element.CurrentIsEnabled()) node.enabled = *enabled;
  if (const std::optional<bool> focused = element.CurrentHasKeyboardFocus()) {
    node.focused = *focused;
  }
  if (const std::optional<bool> password = element.CurrentIsPassword()) node.sensitive = *password;

  // The first clickable pattern found decides; the order matters only for the calls made.
  if (element.HasPattern(platform::kUiaInvokePatternId) ||
      element.HasPattern(platform::kUiaTogglePatternId) ||
      element.HasPattern(platform::kUiaSelectionItemPatternId) ||
      element.HasPattern(platform::kUiaExpandCollapsePatternId)) {
    node.actions.emplace_back(u"click");
  }
  if (!node.sensitive && element.HasPattern(platform::kUiaValuePatternId) &&
      element.ValueIsReadOnly() == false) {
    node.actions.emplace_back(u"type");
  }
  if (element.HasPattern(platform::kUiaScrollPatternId)) {
    node.actions.emplace_back(u"scroll_up_page");
    node.actions.emplace_back(u"scroll_down_page");
  }

  if (const std::optional<platform::Rect> bounds = element.CurrentBoundingRectangle()) {
    node.x = bounds->left;
    node.y = bounds->top;
    node.width = bounds->right - bounds->left;
    node.height = bounds->bottom - bounds->top;
    const std::optional<platform::MonitorDescription> monitor =
        platform.displays.MonitorNearestRect(*bounds);
    if (monitor) {
      node.displayId = monitor->deviceName.value_or(u"");
      if (monitor->dpi) node.scaleFactor = monitor->dpi->x / 96.0;
    }
  }
  if (node.sensitive) node.name.clear();
  return node;
}

void WalkElements(platform::Platform& platform, platform::UiaClient& client,
                  const ElementRef& element, platform::UiaTreeWalker& walker, std::size_t depth,
                  WalkStatus& status, std::vector<ElementNode>& nodes, ElementTable& elements,
                  const std::string& parentId) {
  if (!element) return;
  if (depth > kMaxWalkDepth) {
    status.truncated = true;
    return;
  }
  if (nodes.size() >= kMaxWalkNodes || status.visited >= kMaxWalkVisits ||
      std::chrono::steady_clock::now() >= status.deadline) {
    status.truncated = true;
    status.stop = true;
    return;
  }
  ++status.visited;
  const std::string id = "uia:" + std::to_string(nodes.size());
  ElementNode node = DescribeElement(platform, client, *element, id);
  node.parentId = parentId;
  nodes.push_back(std::move(node));
  elements[id] = element;

  ElementRef child(walker.GetFirstChildElement(*element));
  while (child && !status.stop) {
    WalkElements(platform, client, child, walker, depth + 1, status, nodes, elements, id);
    child = ElementRef(walker.GetNextSiblingElement(*child));
  }
}

Json NodeToJson(const ElementNode& node) {
  Json json = Json::object();
  SetString(json, "id", node.id);
  SetString(json, "parentId", node.parentId);
  SetString(json, "role", node.role);
  if (node.sensitive) {
    SetBool(json, "sensitive", true);
  } else {
    SetString(json, "name", node.name);
  }
  SetString(json, "automationId", node.automationId);
  SetString(json, "controlKind", node.controlKind);
  Json actions = Json::array();
  for (const std::u16string& action : node.actions) actions.push_back(ToUtf8(action));
  json["actions"] = std::move(actions);
  SetBool(json, "enabled", node.enabled);
  SetBool(json, "focused", node.focused);
  Json bounds = Json::object();
  SetNumber(bounds, "x", node.x);
  SetNumber(bounds, "y", node.y);
  SetNumber(bounds, "width", node.width);
  SetNumber(bounds, "height", node.height);
  SetString(bounds, "displayId", node.displayId);
  SetNumber(bounds, "scaleFactor", node.scaleFactor);
  json["bounds"] = std::move(bounds);
  return json;
}

std::string BuildStateText(const Observation& record, const std::vector<ElementNode>& nodes) {
  std::string text;
  text += record.appIdentity;
  text.push_back('\0');
  text += record.windowIdentity;
  text.push_back('\0');
  AppendNumber(text, record.topologyGeneration);
  text.push_back('\n');
  for (const ElementNode& node : nodes) {
    text += node.id;
    text.push_back('\0');
    for (const std::u16string* field :
         {&node.role, &node.name, &node.automationId, &node.controlKind}) {
      text += ToUtf8Strict(*field);
      text.push_back('\0');
    }
    AppendNumber(text, node.x);
    text.push_back(',');
    AppendNumber(text, node.y);
    text.push_back(',');
    AppendNumber(text, node.width);
    text.push_back(',');
    AppendNumber(text, node.height);
    text.push_back('\n');
    for (const std::u16string& action : node.actions) {
      text += ToUtf8Strict(action);
      text.push_back(',');
    }
    text.push_back('\n');
  }
  return text;
}

}  // namespace velmora::computer_use
