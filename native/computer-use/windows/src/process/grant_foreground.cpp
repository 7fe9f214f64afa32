#include "process/grant_foreground.h"

#include <optional>
#include <string>

#include "protocol/frame_protocol.h"
#include "safety/session_monitor.h"

namespace velmora::computer_use {
namespace {

using platform::ProcessId;

constexpr std::uint64_t kMaxTargetProcessId = 0xFFFFFFFE;

std::optional<ProcessId> ParseTargetProcessId(std::u16string_view argument) {
  if (argument.empty() || argument.size() > 10) return std::nullopt;
  std::uint64_t value = 0;
  for (char16_t c : argument) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - u'0');
  }
  if (value < 2 || value > kMaxTargetProcessId) return std::nullopt;
  return static_cast<ProcessId>(value);
}

const char* CheckAndGrant(platform::Platform& platform, std::u16string_view argument) {
  platform::ProcessApi& processes = platform.processes;
  const std::optional<ProcessId> target = ParseTargetProcessId(argument);
  const ProcessId self = processes.CurrentProcessId();
  if (!target.has_value() || *target == self) return "invalid_target";

  const ProcessId parent = ParentProcessId(processes, self);
  if (parent == 0 || parent == 1 || *target == parent ||
      ParentProcessId(processes, *target) != parent) {
    return "target_mismatch";
  }
  // Closed on every return below.
  const std::unique_ptr<platform::ProcessHandle> targetProcess = processes.OpenProcess(*target);
  if (!targetProcess) return "target_mismatch";

  const std::optional<std::u16string> ownPath = processes.OwnModuleFileName();
  const std::optional<std::u16string> targetPath =
      ownPath ? processes.ProcessImagePath(*targetProcess) : std::nullopt;
  const bool sameProgram = ownPath && targetPath && EqualsIgnoringCase(*ownPath, *targetPath) &&
                           processes.IsStillRunning(*targetProcess);
  bool sameSession = false;
  if (sameProgram) {
    const std::optional<std::uint32_t> ownSession = platform.sessions.ProcessIdToSessionId(self);
    const std::optional<std::uint32_t> targetSession =
        platform.sessions.ProcessIdToSessionId(*target);
    sameSession = ownSession && targetSession && *ownSession == *targetSession;
  }
  if (!sameProgram || !sameSession) return "target_mismatch";

  const SessionSnapshot snapshot = CaptureSessionSnapshot(platform);
  if (!snapshot.lockStateKnown || !snapshot.active || !snapshot.unlocked) return "unsafe_desktop";
  if (!IsInputDesktopDefault(platform.sessions)) return "unsafe_desktop";

  const platform::WindowHandle foreground = platform.windows.ForegroundWindow();
  const ProcessId foregroundOwner =
      foreground == platform::kNullWindow
          ? 0
          : platform.windows.WindowProcessId(platform.windows.RootWindow(foreground));
  if (foregroundOwner != parent) return "caller_not_foreground";

  return platform.windows.AllowSetForegroundWindow(*target) ? "granted" : "os_denied";
}

}  // namespace

ProcessId ParentProcessId(platform::ProcessApi& processes, ProcessId processId) {
  const std::optional<std::vector<platform::ProcessEntry>> snapshot = processes.SnapshotProcesses();
  if (!snapshot) return 0;
  for (const platform::ProcessEntry& entry : *snapshot) {
    if (entry.processId == processId) return entry.parentProcessId;
  }
  return 0;
}

void WriteGrantResult(platform::OutputStream& output, bool granted, std::string_view reason) {
  std::string line = granted ? R"({"granted":true,"reason":")" : R"({"granted":false,"reason":")";
  line.append(reason);
  line.append("\"}\n");
  try {
    WriteAll(output, reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
  } catch (const ProtocolError&) {
    // Nobody is listening; the exit code is the same.
  }
}

int GrantForeground(platform::Platform& platform, std::u16string_view argument) {
  const std::string_view reason = CheckAndGrant(platform, argument);
  WriteGrantResult(platform.standardOutput, reason == "granted", reason);
  return 0;
}

}  // namespace velmora::computer_use
