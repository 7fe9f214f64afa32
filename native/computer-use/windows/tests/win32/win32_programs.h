// Separate Windows programs for the tests under Wine: a started child with pipes, the fixture
// program with its windows, and the user played by xdotool.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"
#include "win32/win32_fixture.h"

namespace velmora::computer_use {

using platform::win32::UniqueHandle;

inline std::wstring OwnDirectory() {
  std::wstring path(MAX_PATH, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// A program next to this one, as UTF-8 for the parent-side client.
inline std::string SiblingProgram(const wchar_t* name) {
  const std::wstring path = OwnDirectory() + name;
  const int size = static_cast<int>(path.size());
  std::string utf8(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, path.data(), size,
                                                                nullptr, 0, nullptr, nullptr)),
                   '\0');
  WideCharToMultiByte(CP_UTF8, 0, path.data(), size, utf8.data(), static_cast<int>(utf8.size()),
                      nullptr, nullptr);
  return utf8;
}

inline std::string HelperPath() {
  return SiblingProgram(L"computer-use-helper.exe");
}

// Under Wine the session query fails, so the helper's desktop is never safe.
inline bool SessionQueryWorks() {
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  platform::win32::WtsMemory buffer;
  DWORD bytes = 0;
  return WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSSessionInfoEx,
                                     buffer.Put(), &bytes) != FALSE;
}

// A started process; its standard input is a pipe that closes with this object. `show` is the
// first ShowWindow command it gets, as a shortcut set to start minimized gives it.
class Child {
 public:
  explicit Child(std::wstring commandLine, bool pipes = false,
                 std::optional<WORD> show = std::nullopt) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (show) {
      startup.dwFlags |= STARTF_USESHOWWINDOW;
      startup.wShowWindow = *show;
    }
    // The child's ends, closed here once it has inherited them.
    UniqueHandle inputRead;
    UniqueHandle outputWrite;
    if (pipes) {
      SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
      CreatePipe(inputRead.Put(), input_.Put(), &inherit, 0);
      CreatePipe(output_.Put(), outputWrite.Put(), &inherit, 0);
      SetHandleInformation(input_.Get(), HANDLE_FLAG_INHERIT, 0);
      SetHandleInformation(output_.Get(), HANDLE_FLAG_INHERIT, 0);
      startup.dwFlags |= STARTF_USESTDHANDLES;
      startup.hStdInput = inputRead.Get();
      startup.hStdOutput = outputWrite.Get();
      startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION info{};
    started_ = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, pipes, 0, nullptr,
                              nullptr, &startup, &info) != FALSE;
    if (started_) {
      processId_ = info.dwProcessId;
      process_.Reset(info.hProcess);
      const UniqueHandle thread(info.hThread);
    }
  }
  ~Child() {
    input_.Reset(nullptr);
    if (started_ && WaitForSingleObject(process_.Get(), 5000) != WAIT_OBJECT_0) {
      TerminateProcess(process_.Get(), 1);
    }
  }

  // The next line of its output, or none when no whole line came in time.
  std::optional<std::string> NextLine(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::optional<std::string> line;
    testing::WaitUntil(
        [&] {
          DWORD available = 0;
          char c = 0;
          DWORD read = 0;
          while (PeekNamedPipe(output_.Get(), nullptr, 0, nullptr, &available, nullptr) &&
                 available > 0 && ReadFile(output_.Get(), &c, 1, &read, nullptr) && read == 1) {
            if (c == '\n') {
              line = std::exchange(pending_, {});
              return true;
            }
            if (c != '\r') pending_ += c;  // the C runtime's text mode
          }
          return false;
        },
        timeout);
    return line;
  }
  // Ends it now, for a program that would ask before it closes.
  void Terminate() {
    if (started_) TerminateProcess(process_.Get(), 1);
  }
  bool Started() const { return started_; }
  DWORD ProcessId() const { return processId_; }

  // Reads its output up to the first line; empty when it ended first.
  std::string FirstLine() {
    std::string line;
    char c = 0;
    DWORD read = 0;
    while (ReadFile(output_.Get(), &c, 1, &read, nullptr) && read == 1 && c != '\n') {
      if (c != '\r') line += c;  // the C runtime's text mode
    }
    return line;
  }
  // The exit code, or -1 when it did not end in time.
  int Wait(DWORD milliseconds = 10000) {
    DWORD code = 0;
    if (!started_ || WaitForSingleObject(process_.Get(), milliseconds) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process_.Get(), &code)) {
      return -1;
    }
    return static_cast<int>(code);
  }

 private:
  bool started_ = false;
  DWORD processId_ = 0;
  std::string pending_;
  UniqueHandle process_;
  UniqueHandle input_;
  UniqueHandle output_;
};

// A visible top-level window of the process, of the class and title (null: any), once it shows;
// null when none does within ten seconds.
inline HWND WaitForVisibleWindow(DWORD processId, const wchar_t* windowClass,
                                 const wchar_t* title = nullptr) {
  HWND found = nullptr;
  testing::WaitUntil(
      [&] {
        for (HWND w = FindWindowExW(nullptr, nullptr, windowClass, title); w != nullptr;
             w = FindWindowExW(nullptr, w, windowClass, title)) {
          DWORD process = 0;
          GetWindowThreadProcessId(w, &process);
          if (process == processId && IsWindowVisible(w)) {
            found = w;
            return true;
          }
        }
        return false;
      },
      std::chrono::milliseconds(10000));
  return found;
}

// The user: xdotool, run by the agent that tools/winenv starts beside Wine, one request file
// per call (one argument per line). Answers its exit code, or -1 when no answer came.
inline int Xdotool(const std::vector<std::string>& arguments) {
  static int serial = 0;
  const std::wstring base = L"Z:\\tmp\\velmora-user\\" + std::to_wstring(GetCurrentProcessId()) +
                            L"-" + std::to_wstring(++serial);
  std::string request;
  for (const std::string& argument : arguments) request += argument + "\n";
  {
    UniqueHandle file(CreateFileW((base + L".part").c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file.Get() == INVALID_HANDLE_VALUE ||
        !WriteFile(file.Get(), request.data(), static_cast<DWORD>(request.size()), &written,
                   nullptr)) {
      ADD_FAILURE() << "no xdotool agent: run under tools/winenv";
      return -1;
    }
  }
  MoveFileW((base + L".part").c_str(), (base + L".cmd").c_str());
  const std::wstring answer = base + L".rc";
  if (!testing::WaitUntil(
          [&] { return GetFileAttributesW(answer.c_str()) != INVALID_FILE_ATTRIBUTES; },
          std::chrono::milliseconds(10000))) {
    return -1;
  }
  char code[16]{};
  DWORD read = 0;
  {
    UniqueHandle file(CreateFileW(answer.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ReadFile(file.Get(), code, sizeof code - 1, &read, nullptr);
  }
  DeleteFileW(answer.c_str());
  return std::atoi(code);
}

class FixtureProgram : public Win32Fixture {
 protected:
  // `arguments`: the fixture program's switches, each after a space.
  explicit FixtureProgram(std::wstring arguments = L"") : arguments_(std::move(arguments)) {}

  void SetUp() override {
    fixture_ = std::make_unique<Child>(
        L"\"" + OwnDirectory() + L"computer_use_window_fixture.exe\"" + arguments_, /*pipes=*/true);
    ASSERT_EQ(fixture_->FirstLine(), "ready");
    top_ = FindWindowW(L"VelmoraFixture", L"Velmora Fixture");
    ASSERT_NE(top_, nullptr);
    button_ = FindWindowExW(top_, nullptr, L"BUTTON", nullptr);
    ASSERT_NE(button_, nullptr);
  }

  std::wstring arguments_;
  std::unique_ptr<Child> fixture_;
  HWND top_ = nullptr;
  HWND button_ = nullptr;
};

}  // namespace velmora::computer_use
