// A Windows parent for computer-use-helper.exe: starts it with CreateProcess and anonymous
// pipes, as the desktop application does, and speaks the frame protocol with a codec of its
// own. Run with --spawn-helper it starts one waiting helper, prints its process id and waits to
// be ended: a helper whose parent is another process.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <wtsapi32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/win32/win32_handles.h"

namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::wstring OwnDirectory() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::wstring HelperPath() {
  return OwnDirectory() + L"computer-use-helper.exe";
}

std::string Narrow(const std::wstring& text) {
  return {text.begin(), text.end()};
}

using velmora::computer_use::platform::win32::UniqueHandle;
using velmora::computer_use::platform::win32::WtsMemory;

std::vector<std::uint8_t> RawFrame(std::uint32_t length, std::uint8_t kind,
                                   const std::string& body) {
  std::vector<std::uint8_t> bytes = {
      static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
      static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length), kind};
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

std::vector<std::uint8_t> JsonFrame(const json& object) {
  const std::string text = object.dump();
  return RawFrame(static_cast<std::uint32_t>(text.size() + 1), 1, text);
}

json Request(const std::string& id, const std::string& method, const json& payload = nullptr) {
  json request{{"type", "request"}, {"requestId", id}, {"method", method}};
  if (!payload.is_null()) request["payload"] = payload;
  return request;
}

std::string RandomNonce() {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string nonce;
  LARGE_INTEGER seed;
  QueryPerformanceCounter(&seed);
  std::uint64_t state = static_cast<std::uint64_t>(seed.QuadPart) | 1;
  for (int i = 0; i < 43; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    nonce.push_back(kAlphabet[state % 64]);
  }
  return nonce;
}

// A started process with pipes on its standard input and output.
class Child {
 public:
  Child(const std::wstring& executable, const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childInput = nullptr;
    HANDLE parentInput = nullptr;
    HANDLE parentOutput = nullptr;
    HANDLE childOutput = nullptr;
    if (!CreatePipe(&childInput, &parentInput, &inheritable, 0) ||
        !CreatePipe(&parentOutput, &childOutput, &inheritable, 0)) {
      throw std::runtime_error("CreatePipe");
    }
    UniqueHandle childIn(childInput);
    UniqueHandle childOut(childOutput);
    input_.Reset(parentInput);
    output_.Reset(parentOutput);
    // Only the child's ends are inherited.
    SetHandleInformation(parentInput, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(parentOutput, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn.Get();
    startup.hStdOutput = childOut.Get();
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring commandLine =
        L"\"" + executable + L"\"" + (arguments.empty() ? L"" : L" ") + arguments;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &info)) {
      throw std::runtime_error("CreateProcessW " + Narrow(executable));
    }
    process_.Reset(info.hProcess);
    CloseHandle(info.hThread);
    processId_ = info.dwProcessId;
  }
  ~Child() {
    CloseInput();
    if (WaitForSingleObject(process_.Get(), 5000) == WAIT_TIMEOUT) {
      TerminateProcess(process_.Get(), 1);
    }
  }

  DWORD Pid() const { return processId_; }
  HANDLE OutputHandle() const { return output_.Get(); }
  bool Write(const std::vector<std::uint8_t>& bytes) {
    DWORD written = 0;
    return WriteFile(input_.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
  }
  void CloseInput() { input_.Reset(); }
  void Terminate() { TerminateProcess(process_.Get(), 9); }
  std::optional<DWORD> WaitExit(milliseconds timeout) {
    if (WaitForSingleObject(process_.Get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
      return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.Get(), &code);
    return code;
  }
  // Everything the child writes until it closes its output.
  std::string ReadAll() {
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(output_.Get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
      text.append(buffer, read);
    }
    return text;
  }

 private:
  UniqueHandle input_;
  UniqueHandle output_;
  UniqueHandle process_;
  DWORD processId_ = 0;
};

struct Frame {
  std::uint8_t kind = 0;
  json object;
};

// The helper in a session: a reader thread decodes every frame it writes.
class Session {
 public:
  Session() : child_(HelperPath(), L"") {
    reader_ = std::thread([this] { ReadFrames(); });
  }
  ~Session() {
    child_.CloseInput();
    child_.WaitExit(seconds(5));
    child_.Terminate();
    reader_.join();
  }

  Child& Process() { return child_; }

  json Handshake(DWORD parentPid = GetCurrentProcessId()) {
    const std::string nonce = RandomNonce();
    EXPECT_TRUE(child_.Write(JsonFrame(json{{"type", "handshake"},
                                            {"protocolVersion", 1},
                                            {"nonce", nonce},
                                            {"parentPid", parentPid}})));
    const std::optional<std::size_t> at = WaitFor(
        [](const Frame& f) { return f.object.value("type", "") == "handshake_ack"; }, seconds(10));
    if (!at) return json();
    const json ack = Frames()[*at].object;
    EXPECT_EQ(ack, (json{{"type", "handshake_ack"}, {"protocolVersion", 1}, {"nonce", nonce}}));
    return ack;
  }

  json Call(const std::string& id, const std::string& method, const json& payload = nullptr) {
    EXPECT_TRUE(child_.Write(JsonFrame(Request(id, method, payload))));
    const std::optional<std::size_t> at = WaitFor(
        [&](const Frame& f) {
          return f.object.value("type", "") == "response" && f.object.value("requestId", "") == id;
        },
        seconds(10));
    return at ? Frames()[*at].object : json();
  }

  std::optional<std::size_t> WaitFor(const std::function<bool(const Frame&)>& match,
                                     milliseconds timeout, std::size_t from = 0) {
    std::unique_lock lock(mutex_);
    std::optional<std::size_t> found;
    changed_.wait_for(lock, timeout, [&] {
      for (std::size_t i = from; i < frames_.size(); ++i) {
        if (match(frames_[i])) {
          found = i;
          return true;
        }
      }
      return ended_;
    });
    return found;
  }

  bool WaitForEnd(milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return ended_; });
  }

  std::vector<Frame> Frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }

  std::size_t Count(const std::string& type) {
    std::size_t count = 0;
    for (const Frame& frame : Frames()) count += frame.object.value("type", "") == type ? 1 : 0;
    return count;
  }

  std::string ReaderError() {
    std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  bool ReadExact(std::uint8_t* buffer, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
      DWORD read = 0;
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(count - done, 65536));
      if (!ReadFile(child_.OutputHandle(), buffer + done, want, &read, nullptr) || read == 0) {
        return false;
      }
      done += read;
    }
    return true;
  }

  void ReadFrames() {
    for (;;) {
      std::uint8_t header[5];
      if (!ReadExact(header, 5)) break;
      const std::uint32_t length = (std::uint32_t{header[0]} << 24) |
                                   (std::uint32_t{header[1]} << 16) |
                                   (std::uint32_t{header[2]} << 8) | header[3];
      std::vector<std::uint8_t> body(length - 1);
      if (length == 0 || length > 4'194'435 || !ReadExact(body.data(), body.size())) {
        std::lock_guard lock(mutex_);
        error_ = "bad frame";
        break;
      }
      Frame frame;
      frame.kind = header[4];
      if (frame.kind == 1) frame.object = json::parse(body.begin(), body.end(), nullptr, false);
      std::lock_guard lock(mutex_);
      if (frame.kind == 1 && !frame.object.is_object()) error_ = "bad json";
      frames_.push_back(std::move(frame));
      changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  Child child_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Frame> frames_;
  bool ended_ = false;
  std::string error_;
};

// Under Wine the session query fails, so the helper's desktop is never safe.
bool SessionQueryWorks() {
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  WtsMemory buffer;
  DWORD bytes = 0;
  return WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSSessionInfoEx,
                                     buffer.Put(), &bytes) != FALSE;
}

void ExpectEndedWithoutReply(Session& session) {
  ASSERT_TRUE(session.WaitForEnd(seconds(10)));
  EXPECT_EQ(session.Process().WaitExit(seconds(10)), 0u);
  EXPECT_EQ(session.Count("response"), 0u);
  EXPECT_EQ(session.ReaderError(), "");
}

TEST(HelperExe, HandshakeHeartbeatsAndRequests) {
  Session session;
  session.Handshake();
  ASSERT_TRUE(session.WaitFor(
      [](const Frame& f) { return f.object.value("type", "") == "heartbeat"; }, seconds(3)));
  const std::size_t next = session.Frames().size();
  ASSERT_TRUE(session.WaitFor(
      [](const Frame& f) { return f.object.value("type", "") == "heartbeat"; }, seconds(3), next));
  EXPECT_EQ(session.Call("s", "record.stop"), (json{{"type", "response"},
                                                    {"requestId", "s"},
                                                    {"ok", true},
                                                    {"result", {{"state", "stopped"}}}}));
  EXPECT_EQ(session.Call("u", "Capabilities")["error"], "invalid_request");
}

TEST(HelperExe, CapabilitiesAndPermissionsAreAnsweredUnguarded) {
  Session session;
  session.Handshake();
  const json capabilities = session.Call("c", "capabilities");
  ASSERT_EQ(capabilities["ok"], true) << capabilities.dump();
  const json& result = capabilities["result"];
  EXPECT_EQ(result["platform"], "windows");
  for (const char* feature : {"globalRecording", "semanticObservation", "semanticAction",
                              "interactionMonitoring", "localOcr"}) {
    EXPECT_EQ(result[feature], true) << feature;
  }
  ASSERT_TRUE(result["visualCapture"].is_boolean());
  const bool capture = result["visualCapture"];
  // Without a readable session the foreground cannot be vouched for.
  if (!SessionQueryWorks()) {
    EXPECT_EQ(result["limitations"], json::array({"secure_desktop_unavailable"}));
  }
  const json permissions = session.Call("p", "permissions")["result"]["permissions"];
  ASSERT_EQ(permissions.size(), 4u);
  EXPECT_EQ(permissions[3], (json{{"kind", "screen_capture"},
                                  {"status", capture ? "granted" : "unavailable"},
                                  {"required", false}}));
  EXPECT_EQ(session.Call("r", "permission.request", {{"kind", "post_event"}})["result"],
            (json{{"result", "granted"}}));
  // None of them looked at the session, so nothing was stopped.
  EXPECT_EQ(session.Count("event"), 0u);
}

TEST(HelperExe, GuardedMethodsFollowTheSessionQuery) {
  Session session;
  session.Handshake();
  if (SessionQueryWorks()) {
    EXPECT_EQ(session.Call("o", "observe")["error"], "native_helper_request_failed");
    EXPECT_EQ(session.Count("event"), 0u);
  } else {
    // The right answer where the session cannot be read: refused, with one emergency stop.
    EXPECT_EQ(session.Call("o", "observe")["error"], "secure_desktop_unavailable");
    EXPECT_EQ(session.Call("a", "act")["error"], "secure_desktop_unavailable");
    EXPECT_EQ(session.Count("event"), 1u);
    for (const Frame& frame : session.Frames()) {
      if (frame.object.value("type", "") == "event") {
        EXPECT_EQ(frame.object, (json{{"type", "event"}, {"event", {{"type", "emergency_stop"}}}}));
      }
    }
  }
  EXPECT_EQ(session.Call("n", "neutralize")["ok"], true);
}

TEST(HelperExe, ProtocolErrorsEndTheSessionWithExitCodeZero) {
  const std::vector<std::vector<std::uint8_t>> badFrames = {
      RawFrame(0, 1, ""),
      RawFrame(4'194'436, 1, ""),
      RawFrame(3, 3, "{}"),
      RawFrame(5, 2, std::string("\x00\x01r", 3) + "x"),
      RawFrame(3, 1, "\xFF\xFF"),
      JsonFrame(Request(std::string(129, 'x'), "record.stop")),
      JsonFrame(json{{"type", "heartbeat"}}),
  };
  for (const auto& bytes : badFrames) {
    Session session;
    session.Handshake();
    ASSERT_TRUE(session.Process().Write(bytes));
    ExpectEndedWithoutReply(session);
  }
  Session beforeHandshake;
  ASSERT_TRUE(beforeHandshake.Process().Write(JsonFrame(Request("r", "record.stop"))));
  ExpectEndedWithoutReply(beforeHandshake);
  EXPECT_EQ(beforeHandshake.Count("handshake_ack"), 0u);
}

TEST(HelperExe, EndOfInputAndShutdown) {
  Session closed;
  closed.Handshake();
  closed.Process().CloseInput();
  ExpectEndedWithoutReply(closed);

  Session session;
  session.Handshake();
  std::vector<std::uint8_t> bytes = JsonFrame(Request("bye", "shutdown"));
  const std::vector<std::uint8_t> after = JsonFrame(Request("after", "record.stop"));
  bytes.insert(bytes.end(), after.begin(), after.end());
  ASSERT_TRUE(session.Process().Write(bytes));
  ASSERT_TRUE(session.WaitForEnd(seconds(10)));
  EXPECT_EQ(session.Process().WaitExit(seconds(10)), 0u);
  EXPECT_EQ(session.Count("response"), 1u);
}

TEST(HelperExe, ParentDeathEndsTheHelperWithinAboutASecond) {
  Child parent(HelperPath(), L"");  // any process will do; this one waits on its input
  Session session;
  session.Handshake(parent.Pid());
  ASSERT_EQ(session.Call("s", "record.stop")["ok"], true);
  const auto killed = std::chrono::steady_clock::now();
  parent.Terminate();
  ASSERT_TRUE(session.WaitForEnd(seconds(5)));
  EXPECT_EQ(session.Process().WaitExit(seconds(5)), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - killed, milliseconds(1600));
}

TEST(HelperExe, ParentThatDoesNotExistFailsAfterTheAcknowledgement) {
  DWORD gonePid = 0;
  {
    Child gone(HelperPath(), L"x");
    gonePid = gone.Pid();
    ASSERT_EQ(gone.WaitExit(seconds(10)), 2u);
  }
  Session session;
  session.Handshake(gonePid);
  ExpectEndedWithoutReply(session);
}

// --- Grant mode against real siblings.

struct GrantResult {
  std::optional<DWORD> exitCode;
  std::string output;
};

GrantResult RunHelper(const std::wstring& executable, const std::wstring& arguments) {
  Child child(executable, arguments);
  child.CloseInput();
  GrantResult result;
  result.output = child.ReadAll();
  result.exitCode = child.WaitExit(seconds(10));
  return result;
}

std::string GrantLine(bool granted, const std::string& reason) {
  return std::string("{\"granted\":") + (granted ? "true" : "false") + ",\"reason\":\"" + reason +
         "\"}\n";
}

// What a correct sibling gets here: the session cannot be read under Wine.
std::string SiblingLine() {
  return GrantLine(false, SessionQueryWorks() ? "caller_not_foreground" : "unsafe_desktop");
}

GrantResult Grant(DWORD target, const std::wstring& executable = HelperPath()) {
  return RunHelper(executable, L"--grant-foreground " + std::to_wstring(target));
}

TEST(GrantMode, SiblingPassesTheProcessChecks) {
  Child sibling(HelperPath(), L"");
  const GrantResult result = Grant(sibling.Pid());
  EXPECT_EQ(result.exitCode, 0u);
  EXPECT_EQ(result.output, SiblingLine());
}

TEST(GrantMode, CopyAtAnotherPathIsAMismatchButLetterCaseIsNot) {
  const std::wstring directory = OwnDirectory() + L"grant-copy\\";
  CreateDirectoryW(directory.c_str(), nullptr);
  const std::wstring copy = directory + L"computer-use-helper.exe";
  ASSERT_TRUE(CopyFileW(HelperPath().c_str(), copy.c_str(), FALSE));
  {
    Child sibling(copy, L"");
    EXPECT_EQ(Grant(sibling.Pid()).output, GrantLine(false, "target_mismatch"));
  }
  Child sibling(HelperPath(), L"");
  EXPECT_EQ(Grant(sibling.Pid(), OwnDirectory() + L"COMPUTER-USE-HELPER.EXE").output,
            SiblingLine());
}

TEST(GrantMode, ExitedSiblingAndAnotherParentsChildAreMismatches) {
  DWORD exitedPid = 0;
  {
    Child exited(HelperPath(), L"x");
    exitedPid = exited.Pid();
    ASSERT_EQ(exited.WaitExit(seconds(10)), 2u);
  }
  EXPECT_EQ(Grant(exitedPid).output, GrantLine(false, "target_mismatch"));

  wchar_t self[32768];
  GetModuleFileNameW(nullptr, self, 32768);
  Child spawner(self, L"--spawn-helper");
  std::string line;
  char c = 0;
  DWORD read = 0;
  while (ReadFile(spawner.OutputHandle(), &c, 1, &read, nullptr) && read == 1 && c != '\n') {
    line.push_back(c);
  }
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(Grant(static_cast<DWORD>(std::stoul(line))).output,
            GrantLine(false, "target_mismatch"));
  spawner.Terminate();
}

TEST(GrantMode, InvalidTargetsAndWrongCommandLines) {
  for (const wchar_t* argument : {L"abc", L"0", L"1", L"4294967295", L"12345678901", L"\"\""}) {
    const GrantResult result =
        RunHelper(HelperPath(), std::wstring(L"--grant-foreground ") + argument);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, GrantLine(false, "invalid_target")) << Narrow(argument);
  }
  for (const wchar_t* arguments :
       {L"--grant-foreground", L"x", L"--grant-foreground 5 6", L"--GRANT-FOREGROUND 5"}) {
    const GrantResult result = RunHelper(HelperPath(), arguments);
    EXPECT_EQ(result.exitCode, 2u) << Narrow(arguments);
    EXPECT_EQ(result.output, "") << Narrow(arguments);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wstring(argv[1]) == L"--spawn-helper") {
    Child helper(HelperPath(), L"");
    const std::string line = std::to_string(helper.Pid()) + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
    Sleep(INFINITE);  // ended by the test
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
