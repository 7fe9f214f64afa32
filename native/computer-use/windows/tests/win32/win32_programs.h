// Separate Windows programs for the tests under Wine: a started child with pipes, the fixture
// program with its windows, and the user played by xdotool.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
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
  return ToUtf8(std::u16string(path.begin(), path.end()));
}

inline std::string HelperPath() {
  return SiblingProgram(L"computer-use-helper.exe");
}

// The fixture program's command line with `arguments`, each after a space.
inline std::wstring FixtureCommand(const std::wstring& arguments = L"") {
  return L"\"" + OwnDirectory() + L"computer_use_window_fixture.exe\"" + arguments;
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
  // One with a pipe ends with its input; nothing else would end one without (notepad would ask
  // whether to save), so that one is ended at once.
  ~Child() {
    const bool piped = input_.Get() != nullptr;
    input_.Reset(nullptr);
    if (started_ && (!piped || WaitForSingleObject(process_.Get(), 5000) != WAIT_OBJECT_0)) {
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
  void Terminate() {
    if (started_) TerminateProcess(process_.Get(), 1);
  }
  bool Started() const { return started_; }
  DWORD ProcessId() const { return processId_; }

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
  {
    std::ofstream request(std::filesystem::path(base + L".part"), std::ios::binary);
    for (const std::string& argument : arguments) request << argument << '\n';
    if (!request.flush()) {
      ADD_FAILURE() << "no xdotool agent: run under tools/winenv";
      return -1;
    }
  }
  MoveFileW((base + L".part").c_str(), (base + L".cmd").c_str());
  const std::filesystem::path answer(base + L".rc");
  int code = -1;
  if (testing::WaitUntil([&] { return std::filesystem::exists(answer); },
                         std::chrono::milliseconds(10000))) {
    std::ifstream(answer) >> code;
    std::filesystem::remove(answer);
  }
  return code;
}

// Sent to another process's window, answered within a second.
inline LRESULT Send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 1000, &result);
  return static_cast<LRESULT>(result);
}

// Another process's control: GetWindowTextW would answer only a caption.
inline std::wstring WindowText(HWND control) {
  wchar_t text[64]{};
  Send(control, WM_GETTEXT, 64, reinterpret_cast<LPARAM>(text));
  return text;
}

inline std::vector<std::string> ClickAt(POINT point) {
  return {"mousemove", std::to_string(point.x), std::to_string(point.y), "click", "1"};
}

// X's keyboard focus on the window of that title: Wine hears only the keys X gives its windows.
inline int FocusByTitle(const std::string& title) {
  return Xdotool({"search", "--onlyvisible", "--name", "^" + title + "$", "windowfocus", "--sync"});
}

inline long StopEvents(const testing::CapturedOutput& output) {
  const std::vector<Json> frames = output.JsonFrames();
  return std::count(frames.begin(), frames.end(), testing::EmergencyStopEvent());
}

// The user holds Escape until the parent hears of a stop (five seconds at most), then lets go:
// how long it was held, or none when no stop came.
inline std::optional<std::chrono::steady_clock::duration> HoldEscapeUntilStopped(
    const testing::CapturedOutput& output) {
  const auto down = std::chrono::steady_clock::now();
  EXPECT_EQ(Xdotool({"keydown", "Escape"}), 0);
  const bool stopped =
      testing::WaitUntil([&] { return StopEvents(output) > 0; }, std::chrono::seconds(5));
  const auto held = std::chrono::steady_clock::now() - down;
  EXPECT_EQ(Xdotool({"keyup", "Escape"}), 0);
  return stopped ? std::optional(held) : std::nullopt;
}

class FixtureProgram : public Win32Fixture {
 public:
  // `arguments`: the fixture program's switches, each after a space.
  explicit FixtureProgram(std::wstring arguments = L"") : arguments_(std::move(arguments)) {}

  void SetUp() override {
    fixture_ = std::make_unique<Child>(FixtureCommand(arguments_), /*pipes=*/true);
    ASSERT_EQ(fixture_->NextLine(std::chrono::seconds(10)), "ready");
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
