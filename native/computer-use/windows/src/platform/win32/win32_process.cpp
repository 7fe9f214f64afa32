// Standard streams on handles, processes, events and the process snapshot.
#include <vector>

#include "platform/win32/win32_api.h"

namespace velmora::computer_use::platform::win32 {
namespace {

constexpr DWORD kPathBufferCharacters = 32768;

class Win32Process final : public ProcessHandle {
 public:
  explicit Win32Process(UniqueHandle handle) : handle_(std::move(handle)) {}
  HANDLE Get() const { return handle_.Get(); }

 private:
  UniqueHandle handle_;
};

class Win32Event final : public ManualResetEvent {
 public:
  explicit Win32Event(UniqueHandle handle) : handle_(std::move(handle)) {}
  void Set() override { SetEvent(handle_.Get()); }
  HANDLE Get() const { return handle_.Get(); }

 private:
  UniqueHandle handle_;
};

}  // namespace

IoResult HandleInputStream::Read(std::uint8_t* buffer, std::size_t count) {
  DWORD read = 0;
  if (!ReadFile(handle_, buffer, static_cast<DWORD>(count), &read, nullptr)) {
    const DWORD error = GetLastError();
    return {error == ERROR_BROKEN_PIPE ? IoStatus::kBrokenPipe : IoStatus::kFailed, 0};
  }
  return {IoStatus::kOk, read};
}

IoResult HandleOutputStream::Write(const std::uint8_t* buffer, std::size_t count) {
  DWORD written = 0;
  if (!WriteFile(handle_, buffer, static_cast<DWORD>(count), &written, nullptr)) {
    const DWORD error = GetLastError();
    const bool broken = error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA;
    return {broken ? IoStatus::kBrokenPipe : IoStatus::kFailed, 0};
  }
  return {IoStatus::kOk, written};
}

ProcessId Win32ProcessApi::CurrentProcessId() {
  return GetCurrentProcessId();
}

std::unique_ptr<ProcessHandle> Win32ProcessApi::OpenProcess(ProcessId processId) {
  UniqueHandle handle(
      ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!handle.Valid()) return nullptr;
  return std::make_unique<Win32Process>(std::move(handle));
}

std::unique_ptr<ManualResetEvent> Win32ProcessApi::CreateManualResetEvent() {
  UniqueHandle handle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!handle.Valid()) return nullptr;
  return std::make_unique<Win32Event>(std::move(handle));
}

WaitOutcome Win32ProcessApi::WaitForEither(ManualResetEvent& event, ProcessHandle& process,
                                           std::chrono::milliseconds timeout) {
  const HANDLE handles[2] = {static_cast<Win32Event&>(event).Get(),
                             static_cast<Win32Process&>(process).Get()};
  switch (WaitForMultipleObjects(2, handles, FALSE, static_cast<DWORD>(timeout.count()))) {
    case WAIT_OBJECT_0:
      return WaitOutcome::kEventSignalled;
    case WAIT_OBJECT_0 + 1:
      return WaitOutcome::kProcessSignalled;
    case WAIT_TIMEOUT:
      return WaitOutcome::kTimedOut;
    default:
      return WaitOutcome::kFailed;
  }
}

bool Win32ProcessApi::IsStillRunning(ProcessHandle& process) {
  return WaitForSingleObject(static_cast<Win32Process&>(process).Get(), 0) == WAIT_TIMEOUT;
}

std::optional<std::vector<ProcessEntry>> Win32ProcessApi::SnapshotProcesses() {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.Valid()) return std::nullopt;
  std::vector<ProcessEntry> entries;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
       more = Process32NextW(snapshot.Get(), &entry)) {
    entries.push_back(ProcessEntry{entry.th32ProcessID, entry.th32ParentProcessID});
  }
  return entries;
}

std::optional<std::u16string> Win32ProcessApi::OwnModuleFileName() {
  std::vector<wchar_t> buffer(kPathBufferCharacters);
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), kPathBufferCharacters);
  // A full buffer means the path was cut short.
  if (length == 0 || length >= kPathBufferCharacters) return std::nullopt;
  return FromWide(std::wstring_view(buffer.data(), length));
}

std::optional<std::u16string> Win32ProcessApi::ProcessImagePath(ProcessHandle& process) {
  std::vector<wchar_t> buffer(kPathBufferCharacters);
  DWORD length = kPathBufferCharacters;
  if (!QueryFullProcessImageNameW(static_cast<Win32Process&>(process).Get(), 0, buffer.data(),
                                  &length)) {
    return std::nullopt;
  }
  return FromWide(std::wstring_view(buffer.data(), length));
}

void Win32ProcessApi::ExitProcessNow(int exitCode) {
  ExitProcess(static_cast<UINT>(exitCode));
}

}  // namespace velmora::computer_use::platform::win32
