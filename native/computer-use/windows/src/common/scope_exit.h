// Runs a clean-up action when the scope ends, on every path.
#pragma once

#include <utility>

namespace velmora::computer_use {

template <typename Action>
class [[nodiscard]] ScopeExit {
 public:
  explicit ScopeExit(Action action) : action_(std::move(action)) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ~ScopeExit() { action_(); }

 private:
  Action action_;
};

}  // namespace velmora::computer_use
