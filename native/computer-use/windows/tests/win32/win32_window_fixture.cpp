// A Windows program with the kinds of windows the helper must tell apart, for the tests that run
// under Wine: a top-level window with child controls, an owned dialog, a minimized and an
// invisible window. Prints "ready" once they exist, "clicked ID" whenever a push button reports
// a click, and pumps messages until its standard input closes. The top-level window hands its
// focus to its edit, as an editor does, so that typing lands there. With "--controller" it also
// shows a window titled as the recorder's own controls. With "--inject X Y" it clicks there
// through SendInput, unmarked, as other software would, and ends. With "--spawn PROGRAM" it starts
// PROGRAM with its input on a pipe, prints its process id, and ends it by closing that pipe once
// its own input closes: a child of another parent than the tests. The build defines NOMINMAX
// and WIN32_LEAN_AND_MEAN for every Windows target.
#include <windows.h>

#include "win32_fixture_ids.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>

namespace {

using namespace velmora::computer_use::fixture;  // NOLINT(google-build-using-namespace)

LRESULT CALLBACK TopWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == kPushButtonId) {
    std::printf("clicked %d\n", static_cast<int>(LOWORD(wParam)));
    std::fflush(stdout);
    return 0;
  }
  if (message == WM_SETFOCUS) {
    if (const HWND edit = GetDlgItem(window, kEditId)) {
      SetFocus(edit);
      return 0;
    }
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

int Inject(int x, int y) {
  if (!SetCursorPos(x, y)) return 1;
  INPUT inputs[2]{};
  inputs[0].type = INPUT_MOUSE;
  inputs[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  inputs[1].type = INPUT_MOUSE;
  inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  return SendInput(2, inputs, sizeof(INPUT)) == 2 ? 0 : 1;
}

// Waits for the end of this program's standard input.
void WaitForEndOfInput() {
  char buffer[64];
  DWORD read = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) &&
         read > 0) {
  }
}

int Spawn(const wchar_t* program) {
  // The child gets only its own ends, never this program's output, which the tests read to its end.
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, 0);
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE childInput = nullptr;
  HANDLE ownEnd = nullptr;
  if (!CreatePipe(&childInput, &ownEnd, &inherit, 0)) return 1;
  SetHandleInformation(ownEnd, HANDLE_FLAG_INHERIT, 0);
  const HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childInput;
  startup.hStdOutput = nul;
  startup.hStdError = nul;
  std::wstring commandLine = L"\"" + std::wstring(program) + L"\"";
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return 1;
  }
  CloseHandle(childInput);
  CloseHandle(nul);
  CloseHandle(info.hThread);
  std::printf("%lu\n", info.dwProcessId);
  std::fflush(stdout);
  WaitForEndOfInput();
  CloseHandle(ownEnd);  // the end of the child's input: a waiting helper ends with it
  if (WaitForSingleObject(info.hProcess, 5000) != WAIT_OBJECT_0) TerminateProcess(info.hProcess, 1);
  CloseHandle(info.hProcess);
  return 0;
}

HWND Create(const wchar_t* title, DWORD style, int x, int y, int width, int height,
            HWND ownerOrParent = nullptr, const wchar_t* className = L"VelmoraFixture",
            int controlId = 0) {
  return CreateWindowExW(0, className, title, style, x, y, width, height, ownerOrParent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId)),
                         GetModuleHandleW(nullptr), nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && std::wcscmp(argv[1], L"--inject") == 0) {
    return Inject(std::wcstol(argv[2], nullptr, 10), std::wcstol(argv[3], nullptr, 10));
  }
  if (argc == 3 && std::wcscmp(argv[1], L"--spawn") == 0) return Spawn(argv[2]);
  const bool controller = argc == 2 && std::wcscmp(argv[1], L"--controller") == 0;
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = TopWindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = L"VelmoraFixture";
  if (RegisterClassExW(&windowClass) == 0) return 1;

  const HWND top = Create(L"Velmora Fixture", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 400, 300);
  const HWND button = Create(L"OK", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 20, 20, 120, 30, top,
                             L"BUTTON", kPushButtonId);
  const HWND edit =
      Create(L"text", WS_CHILD | WS_VISIBLE | WS_BORDER, 20, 70, 200, 24, top, L"EDIT", kEditId);
  const HWND checkBox = Create(L"Check", WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX, 160, 20, 100, 30,
                               top, L"BUTTON", kCheckBoxId);
  const HWND radio = Create(L"Radio", WS_CHILD | WS_VISIBLE | BS_AUTORADIOBUTTON, 270, 20, 100, 30,
                            top, L"BUTTON", kRadioButtonId);
  const HWND combo = Create(L"", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST, 240, 70, 120, 120, top,
                            L"COMBOBOX", kComboBoxId);
  const HWND multiLine = Create(L"", WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | ES_MULTILINE,
                                20, 110, 200, 60, top, L"EDIT", kMultiLineEditId);
  const HWND dialog =
      Create(L"Fixture Dialog", WS_POPUP | WS_CAPTION | WS_VISIBLE, 520, 40, 240, 160, top);
  const HWND minimized = Create(L"Fixture Minimized", WS_OVERLAPPEDWINDOW, 60, 400, 300, 200);
  const HWND hidden = Create(L"Fixture Hidden", WS_OVERLAPPEDWINDOW, 80, 420, 300, 200);
  if (!top || !button || !edit || !checkBox || !radio || !combo || !multiLine || !dialog ||
      !minimized || !hidden) {
    return 1;
  }
  if (controller && !Create(L"Velmora Recording Controller", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 800,
                            40, 300, 200)) {
    return 1;
  }
  for (const wchar_t* item : {L"one", L"two", L"three"}) {
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
  }
  // More lines than the multi-line edit shows, so that it can scroll.
  std::wstring lines;
  for (int line = 1; line <= 40; ++line) lines += L"line " + std::to_wstring(line) + L"\r\n";
  SetWindowTextW(multiLine, lines.c_str());
  ShowWindow(minimized, SW_SHOWMINNOACTIVE);
  SetForegroundWindow(top);

  std::printf("ready\n");
  std::fflush(stdout);
  const DWORD mainThread = GetCurrentThreadId();
  std::thread([mainThread] {
    WaitForEndOfInput();
    PostThreadMessageW(mainThread, WM_QUIT, 0, 0);
  }).detach();

  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
