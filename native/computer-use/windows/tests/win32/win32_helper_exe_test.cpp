// The real computer-use-helper.exe where it differs from the Linux one: the win32 backend's
// capabilities, and grant mode judging real Windows processes by their parent and path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helper_client.h"
#include "win32/win32_programs.h"

namespace velmora::computer_use {
namespace {

using client::HelperClient;
using client::HelperProcess;
using client::LaunchOptions;
using nlohmann::json;
using std::chrono::seconds;

TEST(HelperExe, CapabilitiesAndPermissionsAreAnsweredUnguarded) {
  HelperClient helper(HelperProcess::Launch(HelperPath(), LaunchOptions{}));
  helper.Handshake();
  const json capabilities = helper.Request("capabilities");
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
  const json permissions = helper.Request("permissions")["result"]["permissions"];
  ASSERT_EQ(permissions.size(), 4u);
  EXPECT_EQ(permissions[3], (json{{"kind", "screen_capture"},
                                  {"status", capture ? "granted" : "unavailable"},
                                  {"required", false}}));
  EXPECT_EQ(helper.Request("permission.request", {{"kind", "post_event"}})["result"],
            (json{{"result", "granted"}}));
  // None of them looked at the session, so nothing was stopped.
  for (const client::ClientFrame& frame : helper.Frames()) {
    EXPECT_NE(frame.json.value("type", ""), "event") << frame.json.dump();
  }
}

// --- Grant mode against real siblings.

struct GrantRun {
  std::optional<int> exitCode;
  std::string output;
};

GrantRun RunOnce(const std::string& executable, std::vector<std::string> arguments) {
  const auto process = HelperProcess::Launch(executable, LaunchOptions{std::move(arguments), {}});
  process->CloseInput();
  GrantRun run;
  std::uint8_t buffer[4096];
  while (const std::optional<std::size_t> received = process->ReadOutput(buffer, sizeof buffer)) {
    if (*received == 0) break;
    run.output.append(reinterpret_cast<const char*>(buffer), *received);
  }
  run.exitCode = process->WaitExit(seconds(10));
  return run;
}

std::string Line(bool granted, const std::string& reason) {
  return std::string(R"({"granted":)") + (granted ? "true" : "false") + R"(,"reason":")" + reason +
         "\"}\n";
}

GrantRun Grant(client::ProcessId target, const std::string& executable = HelperPath()) {
  return RunOnce(executable, {"--grant-foreground", std::to_string(target)});
}

// What a sibling that passes the process checks gets here: under Wine the session cannot be
// read, so the desktop is the reason.
std::string SiblingLine() {
  return Line(false, SessionQueryWorks() ? "caller_not_foreground" : "unsafe_desktop");
}

bool Running(client::ProcessId id) {
  const UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
  return process.Get() != nullptr && WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT;
}

TEST(GrantMode, SiblingPassesTheProcessChecks) {
  const auto sibling = HelperProcess::Launch(HelperPath(), LaunchOptions{});
  const GrantRun run = Grant(sibling->Pid());
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, SiblingLine());
}

TEST(GrantMode, CopyAtAnotherPathIsAMismatchButLetterCaseIsNot) {
  const std::wstring directory = OwnDirectory() + L"grant-copy\\";
  CreateDirectoryW(directory.c_str(), nullptr);
  ASSERT_TRUE(CopyFileW((OwnDirectory() + L"computer-use-helper.exe").c_str(),
                        (directory + L"computer-use-helper.exe").c_str(), FALSE));
  {
    const auto copy = HelperProcess::Launch(SiblingProgram(L"grant-copy\\computer-use-helper.exe"),
                                            LaunchOptions{});
    EXPECT_EQ(Grant(copy->Pid()).output, Line(false, "target_mismatch"));
  }
  const auto sibling = HelperProcess::Launch(HelperPath(), LaunchOptions{});
  EXPECT_EQ(Grant(sibling->Pid(), SiblingProgram(L"COMPUTER-USE-HELPER.EXE")).output,
            SiblingLine());
}

TEST(GrantMode, ExitedSiblingAndAnotherParentsChildAreMismatches) {
  const auto exited = HelperProcess::Launch(HelperPath(), LaunchOptions{{"unexpected"}, {}});
  ASSERT_EQ(exited->WaitExit(seconds(10)), 2);
  EXPECT_EQ(Grant(exited->Pid()).output, Line(false, "target_mismatch"));

  // The fixture program's child: the same executable, alive, with another parent.
  Child spawner(FixtureCommand(L" --spawn \"" + OwnDirectory() + L"computer-use-helper.exe\""),
                /*pipes=*/true);
  const std::optional<std::string> line = spawner.NextLine(seconds(10));
  ASSERT_TRUE(line);
  const auto nephew = static_cast<client::ProcessId>(std::stoul(*line));
  ASSERT_TRUE(Running(nephew));
  EXPECT_EQ(Grant(nephew).output, Line(false, "target_mismatch"));
  EXPECT_TRUE(Running(nephew));  // so the answer was about its parent, not its exit
}

struct CommandLine {
  const char* name;
  std::vector<std::string> arguments;
  int exitCode;
  std::string output;
};

class GrantCommandLineTest : public ::testing::TestWithParam<CommandLine> {};

// The number checks are the portable code's; here wmain's arguments reach them.
TEST_P(GrantCommandLineTest, ExitCodeAndOutput) {
  const GrantRun run = RunOnce(HelperPath(), GetParam().arguments);
  EXPECT_EQ(run.exitCode, GetParam().exitCode);
  EXPECT_EQ(run.output, GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, GrantCommandLineTest,
    ::testing::ValuesIn(std::vector<CommandLine>{
        {"NotANumber", {"--grant-foreground", "abc"}, 0, Line(false, "invalid_target")},
        {"EmptyTarget", {"--grant-foreground", ""}, 0, Line(false, "invalid_target")},
        {"NoTarget", {"--grant-foreground"}, 2, ""},
        {"UnknownSwitch", {"x"}, 2, ""},
        {"TwoTargets", {"--grant-foreground", "5", "6"}, 2, ""},
        {"SwitchInCapitals", {"--GRANT-FOREGROUND", "5"}, 2, ""},
    }),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora::computer_use
