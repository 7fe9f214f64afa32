#include "process/grant_foreground.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "helper_client.h"
#include "platform/sim/sim_platform.h"
#include "support/fake_streams.h"
#include "support/test_support.h"

namespace velmora::computer_use {
namespace {

namespace fs = std::filesystem;
using client::HelperProcess;
using client::LaunchOptions;
using std::chrono::seconds;

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

struct GrantRun {
  std::optional<int> exitCode;
  std::string output;
};

GrantRun RunHelperOnce(const std::string& executable, std::vector<std::string> arguments,
                       std::vector<std::pair<std::string, std::string>> environment = {}) {
  std::unique_ptr<HelperProcess> process = HelperProcess::Launch(
      executable, LaunchOptions{std::move(arguments), std::move(environment)});
  process->CloseInput();
  GrantRun run;
  run.output = ReadAll(process->OutputFd());
  run.exitCode = process->WaitExit(seconds(10));
  return run;
}

std::string Line(bool granted, const std::string& reason) {
  return std::string(R"({"granted":)") + (granted ? "true" : "false") + R"(,"reason":")" + reason +
         "\"}\n";
}

// --- In process, on the simulated desktop.

std::string GrantLine(std::u16string_view argument) {
  testing::EmptyInput input;
  fakes::FakeOutput output;
  platform::sim::SimPlatform sim(input, output);
  sim.Windows().ShowForegroundWindow(static_cast<platform::ProcessId>(getppid()));
  EXPECT_EQ(GrantForeground(sim.Get(), argument), 0);
  EXPECT_EQ(output.calls().size(), 1u);  // one write: the line arrives whole
  return std::string(output.bytes().begin(), output.bytes().end());
}

std::u16string ToU16(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

TEST(GrantArguments, OnlyAnotherProcessIdInRangeIsCheckedAgainstThisProgram) {
  const std::string own = std::to_string(getpid());
  for (const std::string& argument :
       {std::string(), std::string("12a"), std::string("+5"), std::string("-5"), std::string(" 5"),
        std::string("5 "), std::string("0x10"), std::string("12345678901"), std::string("0"),
        std::string("1"), std::string("00"), std::string("4294967295"), std::string("9999999999"),
        own, "000" + own}) {
    EXPECT_EQ(GrantLine(ToU16(argument)), Line(false, "invalid_target")) << argument;
  }
  // Full-width digits are not ASCII digits.
  EXPECT_EQ(GrantLine(u"\uFF15\uFF16"), Line(false, "invalid_target"));
  // The range's edges, the parent, and a child of this process, whose parent is another.
  const auto child = HelperProcess::Launch("/bin/cat", LaunchOptions{});
  for (const std::string& argument : {std::string("4294967294"), std::string("2"),
                                      std::to_string(getppid()), std::to_string(child->Pid())}) {
    EXPECT_EQ(GrantLine(ToU16(argument)), Line(false, "target_mismatch")) << argument;
  }
}

TEST(GrantPaths, OrdinalComparisonIgnoresCase) {
  EXPECT_TRUE(EqualsIgnoringCase(u"C:\\Program Files\\Velmora\\helper.EXE",
                                 u"c:\\program files\\velmora\\HELPER.exe"));
  EXPECT_TRUE(EqualsIgnoringCase(u"C:\\Users\\J\u00F6rg", u"c:\\users\\j\u00D6RG"));
  EXPECT_FALSE(EqualsIgnoringCase(u"C:\\a\\helper.exe", u"C:\\a\\helper.ex"));
  EXPECT_FALSE(EqualsIgnoringCase(u"C:\\a\\helper1.exe", u"C:\\a\\helper2.exe"));
}

// --- The real executable with real sibling processes.

class GrantProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() / ("velmora-grant-" + std::to_string(getpid()));
    fs::create_directories(directory_);
  }
  void TearDown() override { fs::remove_all(directory_); }

  std::string CopyHelper(const std::string& name) {
    const fs::path copy = directory_ / name;
    fs::copy_file(VELMORA_HELPER_PATH, copy, fs::copy_options::overwrite_existing);
    return copy.string();
  }

  static GrantRun Grant(pid_t target, std::vector<std::pair<std::string, std::string>> env = {},
                        const std::string& executable = VELMORA_HELPER_PATH) {
    return RunHelperOnce(executable, {"--grant-foreground", std::to_string(target)},
                         std::move(env));
  }

  fs::path directory_;
};

TEST_F(GrantProcessTest, SiblingOfTheSameExecutableIsGranted) {
  const auto sibling = HelperProcess::Launch(VELMORA_HELPER_PATH, LaunchOptions{});
  const GrantRun run = Grant(sibling->Pid());
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, Line(true, "granted"));
}

TEST_F(GrantProcessTest, EachDesktopConditionHasItsReason) {
  const auto sibling = HelperProcess::Launch(VELMORA_HELPER_PATH, LaunchOptions{});
  const std::pair<const char*, const char*> cases[] = {
      {"locked", "unsafe_desktop"},           {"secure_desktop", "unsafe_desktop"},
      {"query_fails", "unsafe_desktop"},      {"foreign_foreground", "caller_not_foreground"},
      {"deny_foreground_grant", "os_denied"},
  };
  for (const auto& [scene, reason] : cases) {
    const GrantRun run = Grant(sibling->Pid(), {{"VELMORA_SIM_SCENE", scene}});
    EXPECT_EQ(run.exitCode, 0) << scene;
    EXPECT_EQ(run.output, Line(false, reason)) << scene;
  }
}

TEST_F(GrantProcessTest, CopyAtAnotherPathIsAMismatchButLetterCaseIsNot) {
  const auto copy = HelperProcess::Launch(CopyHelper("computer-use-helper"), LaunchOptions{});
  EXPECT_EQ(Grant(copy->Pid()).output, Line(false, "target_mismatch"));

  // Two files whose paths differ only in case count as one program, as on Windows.
  const std::string upper = CopyHelper("COMPUTER-USE-HELPER");
  EXPECT_EQ(Grant(copy->Pid(), {}, upper).output, Line(true, "granted"));
}

TEST_F(GrantProcessTest, ExitedSiblingAndOtherParentsChildAreMismatches) {
  auto exited = HelperProcess::Launch(VELMORA_HELPER_PATH, LaunchOptions{{"unexpected"}, {}});
  ASSERT_EQ(exited->WaitExit(seconds(10)), 2);
  EXPECT_EQ(Grant(exited->Pid()).output, Line(false, "target_mismatch"));

  // A helper whose parent is a shell, not this process.
  auto shell = HelperProcess::Launch(
      "/bin/sh", LaunchOptions{{"-c", std::string("\"") + VELMORA_HELPER_PATH +
                                          "\" </dev/null >/dev/null & echo $!; wait"},
                               {}});
  std::string pidText;
  char c;
  while (read(shell->OutputFd(), &c, 1) == 1 && c != '\n') pidText.push_back(c);
  const pid_t nephew = std::stoi(pidText);
  EXPECT_EQ(Grant(nephew).output, Line(false, "target_mismatch"));
  kill(nephew, SIGKILL);
}

TEST_F(GrantProcessTest, WrongCommandLinesExitTwoAndPrintNothing) {
  const std::vector<std::vector<std::string>> commandLines = {
      {"--grant-foreground"},           {"x"},
      {"--grant-foreground", "5", "6"}, {"--GRANT-FOREGROUND", "5"},
      {"--grant-foreground=5", "x"},    {"", ""},
  };
  for (const auto& arguments : commandLines) {
    const GrantRun run = RunHelperOnce(VELMORA_HELPER_PATH, arguments);
    EXPECT_EQ(run.exitCode, 2) << arguments[0];
    EXPECT_EQ(run.output, "") << arguments[0];
  }
}

}  // namespace
}  // namespace velmora::computer_use
