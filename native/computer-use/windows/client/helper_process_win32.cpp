// The Win32 back end of HelperProcess: CreateProcessW with anonymous pipes on stdin/stdout, as
// the desktop application starts the helper. Reads block in ReadFile; StopReading cancels one
// with CancelSynchronousIo.
#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cwchar>
#include <limits>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "helper_client.h"

namespace velmora::computer_use::client {
namespace {

// Owns one kernel handle and closes it exactly once.
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.Release()) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { Reset(); }

  HANDLE Get() const { return handle_; }
  bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  void Reset(HANDLE handle = nullptr) {
    if (Valid()) CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

[[noreturn]] void ThrowLastError(const std::string& what) {
  throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw std::length_error("text too long for a command line");
  }
  const int size = static_cast<int>(text.size());
  const int wide =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (wide <= 0) throw std::invalid_argument("not UTF-8: " + text);
  std::wstring result(static_cast<std::size_t>(wide), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, result.data(), wide);
  return result;
}

// One argument as CommandLineToArgvW and the C runtime read it back: backslashes are literal
// except before a quote, where they double.
void AppendQuoted(std::wstring& commandLine, const std::wstring& argument) {
  if (!commandLine.empty()) commandLine += L' ';
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    commandLine += argument;
    return;
  }
  commandLine += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    commandLine.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    commandLine += c;
  }
  commandLine.append(backslashes * 2, L'\\');
  commandLine += L'"';
}

bool SameName(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// This process's environment with the overrides applied (names compare without case), as a
// block for CREATE_UNICODE_ENVIRONMENT.
std::wstring BuildEnvironment(const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::vector<std::pair<std::wstring, std::wstring>> wide;
  for (const auto& [name, value] : overrides) wide.emplace_back(Widen(name), Widen(value));
  std::wstring block;
  const std::unique_ptr<wchar_t, decltype(&FreeEnvironmentStringsW)> current(
      GetEnvironmentStringsW(), &FreeEnvironmentStringsW);
  for (const wchar_t* entry = current.get(); entry != nullptr && *entry != L'\0';
       entry += std::wcslen(entry) + 1) {
    const std::wstring_view text(entry);
    // Entries like "=C:=C:\dir" start with their '='.
    const std::wstring_view name = text.substr(0, text.find(L'=', 1));
    bool overridden = false;
    for (const auto& item : wide) overridden = overridden || SameName(item.first, name);
    if (!overridden) block.append(text).push_back(L'\0');
  }
  for (const auto& [name, value] : wide) block.append(name + L"=" + value).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

// An anonymous pipe; `childReads` makes the read end the inheritable one.
std::pair<OwnedHandle, OwnedHandle> MakePipe(bool childReads) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) ThrowLastError("CreatePipe");
  OwnedHandle read(readEnd);
  OwnedHandle write(writeEnd);
  // The parent's end must not reach the child, or the pipe never ends while the child lives.
  if (!SetHandleInformation(childReads ? writeEnd : readEnd, HANDLE_FLAG_INHERIT, 0)) {
    ThrowLastError("SetHandleInformation");
  }
  return {std::move(read), std::move(write)};
}

// Restricts inheritance to the listed handles, so a launch on another thread gets none of them.
class InheritedHandleList {
 public:
  explicit InheritedHandleList(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T bytes = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &bytes);
    storage_.resize(bytes);
    list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!InitializeProcThreadAttributeList(list_, 1, 0, &bytes)) {
      ThrowLastError("InitializeProcThreadAttributeList");
    }
    if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                   handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      DeleteProcThreadAttributeList(list_);
      ThrowLastError("UpdateProcThreadAttribute");
    }
  }
  InheritedHandleList(const InheritedHandleList&) = delete;
  InheritedHandleList& operator=(const InheritedHandleList&) = delete;
  ~InheritedHandleList() { DeleteProcThreadAttributeList(list_); }
  LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return list_; }

 private:
  std::vector<HANDLE> handles_;
  std::vector<unsigned char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

}  // namespace

ProcessId CurrentProcessId() {
  return GetCurrentProcessId();
}

struct HelperProcess::State {
  DWORD pid = 0;
  OwnedHandle process;

  std::mutex inputMutex;  // serialises writes and CloseInput
  OwnedHandle input;

  OwnedHandle output;
  std::mutex readMutex;
  std::condition_variable readChanged;
  bool reading = false;  // a thread is in, or about to enter, ReadFile
  bool stopped = false;
  DWORD readerThreadId = 0;
  OwnedHandle readerThread;  // for CancelSynchronousIo

  std::mutex exitMutex;
  std::optional<int> exitStatus;
};

std::unique_ptr<HelperProcess> HelperProcess::Launch(const std::string& executable,
                                                     const LaunchOptions& options) {
  auto [helperStdin, parentInput] = MakePipe(true);
  auto [parentOutput, helperStdout] = MakePipe(false);
  OwnedHandle helperStderr;
  const HANDLE ownStderr = GetStdHandle(STD_ERROR_HANDLE);
  HANDLE duplicate = nullptr;
  if (ownStderr != nullptr && ownStderr != INVALID_HANDLE_VALUE &&
      DuplicateHandle(GetCurrentProcess(), ownStderr, GetCurrentProcess(), &duplicate, 0, TRUE,
                      DUPLICATE_SAME_ACCESS)) {
    helperStderr.Reset(duplicate);
  }
  std::vector<HANDLE> inherited{helperStdin.Get(), helperStdout.Get()};
  if (helperStderr.Valid()) inherited.push_back(helperStderr.Get());
  const InheritedHandleList handleList(inherited);

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = helperStdin.Get();
  startup.StartupInfo.hStdOutput = helperStdout.Get();
  startup.StartupInfo.hStdError = helperStderr.Valid() ? helperStderr.Get() : nullptr;
  startup.lpAttributeList = handleList.Get();

  const std::wstring application = Widen(executable);
  std::wstring commandLine;
  AppendQuoted(commandLine, application);
  for (const std::string& argument : options.arguments) AppendQuoted(commandLine, Widen(argument));
  std::wstring environment;
  if (!options.environment.empty()) environment = BuildEnvironment(options.environment);

  PROCESS_INFORMATION info{};
  if (!CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                      EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT,
                      environment.empty() ? nullptr : environment.data(), nullptr,
                      &startup.StartupInfo, &info)) {
    ThrowLastError("CreateProcessW " + executable);
  }
  const OwnedHandle thread(info.hThread);
  auto state = std::make_unique<State>();
  state->pid = info.dwProcessId;
  state->process.Reset(info.hProcess);
  state->input = std::move(parentInput);
  state->output = std::move(parentOutput);
  // Our copies of the helper's ends close here: its stdin then ends with ours, our reads with its.
  return std::make_unique<HelperProcess>(std::move(state));
}

HelperProcess::HelperProcess(std::unique_ptr<State> state) : state_(std::move(state)) {}

HelperProcess::~HelperProcess() {
  CloseInput();
  if (!WaitExit(std::chrono::milliseconds(0))) {
    TerminateProcess(state_->process.Get(), 1);
    // Termination completes asynchronously; the handles below outlive the process.
    WaitForSingleObject(state_->process.Get(), INFINITE);
  }
}

ProcessId HelperProcess::Pid() const {
  return state_->pid;
}

bool HelperProcess::WriteBytes(const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(state_->inputMutex);
  if (!state_->input.Valid()) return false;
  std::size_t written = 0;
  while (written < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(
        std::min<std::size_t>(bytes.size() - written, std::numeric_limits<DWORD>::max()));
    DWORD done = 0;
    // A reader that has gone fails the write (ERROR_NO_DATA or ERROR_BROKEN_PIPE).
    if (!WriteFile(state_->input.Get(), bytes.data() + written, chunk, &done, nullptr)) {
      return false;
    }
    written += done;
  }
  return true;
}

void HelperProcess::CloseInput() {
  std::lock_guard lock(state_->inputMutex);
  state_->input.Reset();
}

std::optional<std::size_t> HelperProcess::ReadOutput(std::uint8_t* buffer, std::size_t size) {
  State& state = *state_;
  const DWORD want =
      static_cast<DWORD>(std::min<std::size_t>(size, std::numeric_limits<DWORD>::max()));
  while (true) {
    {
      std::lock_guard lock(state.readMutex);
      if (state.stopped) return std::nullopt;
      if (state.readerThreadId != GetCurrentThreadId()) {
        HANDLE self = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0,
                             FALSE, DUPLICATE_SAME_ACCESS)) {
          ThrowLastError("DuplicateHandle of the reading thread");
        }
        state.readerThread.Reset(self);
        state.readerThreadId = GetCurrentThreadId();
      }
      state.reading = true;
    }
    DWORD received = 0;
    const BOOL ok = ReadFile(state.output.Get(), buffer, want, &received, nullptr);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    {
      std::lock_guard lock(state.readMutex);
      state.reading = false;
      state.readChanged.notify_all();
      if (state.stopped) return std::nullopt;
    }
    if (ok && received > 0) return received;
    if (ok) continue;  // an empty write of the other side, not the end
    if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return 0;
    if (error == ERROR_OPERATION_ABORTED) continue;  // cancelled by someone else
    SetLastError(error);
    ThrowLastError("ReadFile on the helper output");
  }
}

void HelperProcess::StopReading() {
  State& state = *state_;
  std::unique_lock lock(state.readMutex);
  state.stopped = true;
  while (state.reading) {
    // Fails with ERROR_NOT_FOUND while the reader has yet to enter ReadFile: try again shortly.
    CancelSynchronousIo(state.readerThread.Get());
    state.readChanged.wait_for(lock, std::chrono::milliseconds(1));
  }
}

std::optional<int> HelperProcess::WaitExit(std::chrono::milliseconds timeout) {
  {
    std::lock_guard lock(state_->exitMutex);
    if (state_->exitStatus) return state_->exitStatus;
  }
  const auto milliseconds = std::min<std::chrono::milliseconds::rep>(
      std::max<std::chrono::milliseconds::rep>(timeout.count(), 0), INFINITE - 1);
  if (WaitForSingleObject(state_->process.Get(), static_cast<DWORD>(milliseconds)) !=
      WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(state_->process.Get(), &code)) return std::nullopt;
  std::lock_guard lock(state_->exitMutex);
  state_->exitStatus = static_cast<int>(code);
  return state_->exitStatus;
}

void HelperProcess::Terminate() {
  if (!WaitExit(std::chrono::milliseconds(0))) TerminateProcess(state_->process.Get(), 1);
}

}  // namespace velmora::computer_use::client
