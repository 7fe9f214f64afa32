// One way to describe an element of the simulated UI Automation tree, for the scenes and the
// tests alike: the control type, name and bounds, then only the properties that differ.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>

#include "platform/sim/sim_automation.h"

namespace velmora::computer_use::platform::sim {

class ElementBuilder {
 public:
  ElementBuilder(std::int32_t controlType, std::u16string name, Rect bounds = {}) {
    element_.controlType = controlType;
    element_.name = std::move(name);
    element_.bounds = bounds;
  }

  ElementBuilder& Patterns(std::set<std::int32_t> patterns) {
    element_.patterns = std::move(patterns);
    return *this;
  }
  ElementBuilder& AutomationId(std::u16string id) {
    element_.automationId = std::move(id);
    return *this;
  }
  // An edit field: the Value pattern and its text.
  ElementBuilder& Value(std::u16string value) {
    element_.patterns.insert(kUiaValuePatternId);
    element_.value = std::move(value);
    return *this;
  }
  ElementBuilder& ReadOnly() {
    element_.valueReadOnly = true;
    return *this;
  }
  ElementBuilder& Password() {
    element_.password = true;
    return *this;
  }
  ElementBuilder& Focused() {
    element_.focused = true;
    return *this;
  }
  ElementBuilder& NativeWindow(WindowHandle window) {
    element_.nativeWindow = window;
    return *this;
  }
  ElementBuilder& Failing(std::set<UiaCall> calls) {
    element_.failing = std::move(calls);
    return *this;
  }
  ElementBuilder& OnInvoke(std::function<void()> reaction) {
    element_.reactions.onInvoke = std::move(reaction);
    return *this;
  }

  // NOLINTNEXTLINE(google-explicit-constructor): a builder stands where an element is taken.
  operator SimElement() const { return element_; }

 private:
  SimElement element_;
};

}  // namespace velmora::computer_use::platform::sim
