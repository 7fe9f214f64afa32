// What the simulated system tells about the processes behind windows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/process_info.h"
#include "platform/sim/sim_world.h"

namespace velmora::computer_use::platform::sim {

class SimProcessInfo final : public ProcessInfoApi {
 public:
  explicit SimProcessInfo(SimWorld& world) : world_(world) {}

  // A process not added has no image path or integrity level. Adding one also puts it in
  // its session.
  // The helper itself: hooks that skip their own process skip its windows.
  void AddOwnProcess(ProcessId processId, SimProcess process);
  void AddProcess(ProcessId processId, SimProcess process);
  void RemoveProcess(ProcessId processId);

  // --- ProcessInfoApi
  std::optional<std::u16string> QueryImagePath(ProcessId processId) override;
  std::optional<std::uint32_t> QueryIntegrityLevel(ProcessId processId) override;

 private:
  SimWorld& world_;
};

}  // namespace velmora::computer_use::platform::sim
