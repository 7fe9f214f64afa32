// Real Linux processes and pipes behind the process, stream and runtime seams.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "common/scoped_handle.h"
#include "platform/process.h"
#include "platform/runtime.h"
#include "platform/streams.h"

namespace velmora::computer_use::platform::sim {

// A file descriptor owned for its lifetime.
struct FdTraits {
  using Handle = int;
  static Handle Invalid() { return -1; }
  static bool IsValid(Handle fd) { return fd >= 0; }
  static void Close(Handle fd);
};
using UniqueFd = ScopedHandle<FdTraits>;

// Reads and writes one descriptor that the caller keeps open.
class FdInputStream final : public InputStream {
 public:
  explicit FdInputStream(int fd) : fd_(fd) {}
  IoResult Read(std::uint8_t* buffer, std::size_t count) override;

 private:
  int fd_;
};

// Writing to a closed pipe reports kBrokenPipe; SIGPIPE must be ignored by the process.
class FdOutputStream final : public OutputStream {
 public:
  explicit FdOutputStream(int fd) : fd_(fd) {}
  IoResult Write(const std::uint8_t* buffer, std::size_t count) override;

 private:
  int fd_;
};

// Processes through pidfds, eventfds and /proc.
class PosixProcessApi final : public ProcessApi {
 public:
  ProcessId CurrentProcessId() override;
  std::unique_ptr<ProcessHandle> OpenProcess(ProcessId processId) override;
  std::unique_ptr<ManualResetEvent> CreateManualResetEvent() override;
  WaitOutcome WaitForEither(ManualResetEvent& event, ProcessHandle& process,
                            std::chrono::milliseconds timeout) override;
  bool IsStillRunning(ProcessHandle& process) override;
  std::optional<std::vector<ProcessEntry>> SnapshotProcesses() override;
  std::optional<std::u16string> OwnModuleFileName() override;
  std::optional<std::u16string> ProcessImagePath(ProcessHandle& process) override;
  [[noreturn]] void ExitProcessNow(int exitCode) override;
};

// SIGINT, SIGTERM and SIGHUP arrive as console control events on a thread of their own, as
// Windows delivers them; when the routine does not handle one, the signal's default action
// ends the process. SIGUSR1 and SIGUSR2 go to `onUserSignal` (the simulated desktop's knobs).
class PosixRuntime final : public RuntimeApi {
 public:
  explicit PosixRuntime(std::function<void(int signal)> onUserSignal = {});
  ~PosixRuntime() override;
  PosixRuntime(const PosixRuntime&) = delete;
  PosixRuntime& operator=(const PosixRuntime&) = delete;

  void SetPerMonitorDpiAwareV2() override {}
  bool InitializeProcessApartment() override { return true; }
  // Must be called before the process starts other threads: it blocks the signals for them.
  bool AddConsoleControlHandler(ConsoleControlRoutine routine) override;
  void RemoveConsoleControlHandler(ConsoleControlRoutine routine) override;

 private:
  void Listen();

  std::function<void(int)> onUserSignal_;
  std::atomic<ConsoleControlRoutine> routine_{nullptr};
  UniqueFd signals_;
  UniqueFd stop_;
  std::thread thread_;
};

}  // namespace velmora::computer_use::platform::sim
