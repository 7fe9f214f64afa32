#include "platform/sim/sim_process_info.h"

namespace velmora::computer_use::platform::sim {

void SimProcessInfo::AddProcess(ProcessId processId, SimProcess process) {
  std::lock_guard lock(world_.mutex);
  world_.processSessions[processId] = process.sessionId;
  world_.processes[processId] = std::move(process);
}

void SimProcessInfo::AddOwnProcess(ProcessId processId, SimProcess process) {
  AddProcess(processId, std::move(process));
  std::lock_guard lock(world_.mutex);
  world_.ownProcess = processId;
}

void SimProcessInfo::RemoveProcess(ProcessId processId) {
  std::lock_guard lock(world_.mutex);
  world_.processes.erase(processId);
  world_.processSessions.erase(processId);
}

std::optional<std::u16string> SimProcessInfo::QueryImagePath(ProcessId processId) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.processes.find(processId);
  if (it == world_.processes.end() || !it->second.queryable) return std::nullopt;
  return it->second.imagePath;
}

std::optional<std::uint32_t> SimProcessInfo::QueryIntegrityLevel(ProcessId processId) {
  std::lock_guard lock(world_.mutex);
  const auto it = world_.processes.find(processId);
  if (it == world_.processes.end() || !it->second.queryable) return std::nullopt;
  return it->second.integrityLevel;
}

}  // namespace velmora::computer_use::platform::sim
