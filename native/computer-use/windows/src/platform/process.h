// Processes: the parent watch, process snapshots, image paths and ending the process.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace velmora::computer_use::platform {

// An owned handle to another process, opened to wait on it and to query limited information.
class ProcessHandle {
 public:
  virtual ~ProcessHandle() = default;
};

// An owned manual-reset event, created unsignalled.
class ManualResetEvent {
 public:
  virtual ~ManualResetEvent() = default;
  virtual void Set() = 0;
};

enum class WaitOutcome { kEventSignalled, kProcessSignalled, kTimedOut, kFailed };

struct ProcessEntry {
  ProcessId processId = 0;
  ProcessId parentProcessId = 0;
};

class ProcessApi {
 public:
  virtual ~ProcessApi() = default;

  virtual ProcessId CurrentProcessId() = 0;
  // Null when the process cannot be opened.
  virtual std::unique_ptr<ProcessHandle> OpenProcess(ProcessId processId) = 0;
  // Null when the event cannot be created.
  virtual std::unique_ptr<ManualResetEvent> CreateManualResetEvent() = 0;
  // Waits until either object is signalled (the event wins a tie) or the time-out passes.
  virtual WaitOutcome WaitForEither(ManualResetEvent& event, ProcessHandle& process,
                                    std::chrono::milliseconds timeout) = 0;
  // True when a zero time-out wait on the process times out.
  virtual bool IsStillRunning(ProcessHandle& process) = 0;
  // Every process of the system, or none when the snapshot fails.
  virtual std::optional<std::vector<ProcessEntry>> SnapshotProcesses() = 0;
  // This process's executable path (buffer of 32,768 characters).
  virtual std::optional<std::u16string> OwnModuleFileName() = 0;
  // Full image name of another process, Win32 path form (buffer of 32,768 characters).
  virtual std::optional<std::u16string> ProcessImagePath(ProcessHandle& process) = 0;
  // Ends the process at once: no destructors, no flushing.
  [[noreturn]] virtual void ExitProcessNow(int exitCode) = 0;
};

}  // namespace velmora::computer_use::platform
