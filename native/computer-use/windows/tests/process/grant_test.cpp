#include "process/grant_foreground.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "helper_client.h"
#include "platform/sim/sim_platform.h"
#include "protocol/json.h"
#include "support/fake_streams.h"
#include "support/test_support.h"

namespace velmora::computer_use {
namespace {

namespace fs = std::filesystem;
using client::HelperProcess;
using client::LaunchOptions;
using std::chrono::seconds;
using namespace std::string_literals;

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

// The output of one run, which must end with `exitCode`.
std::string RunHelperOnce(int exitCode, const std::string& executable,
                          std::vector<std::string> arguments,
                          std::vector<std::pair<std::string, std::string>> environment = {}) {
  std::unique_ptr<HelperProcess> process = HelperProcess::Launch(
      executable, LaunchOptions{std::move(arguments), std::move(environment)});
  process->CloseInput();
  std::string output = ReadAll(process->OutputFd());
  EXPECT_EQ(process->WaitExit(seconds(10)), exitCode) << output;
  return output;
}

// The one line grant mode prints; only "granted" grants.
std::string Line(const std::string& reason) {
  return R"({"granted":)" + std::string(reason == "granted" ? "true" : "false") + R"(,"reason":")" +
         reason + "\"}\n";
}

// --- In process, on the simulated desktop.

std::string GrantLine(const std::string& argument) {
  testing::EmptyInput input;
  fakes::FakeOutput output;
  platform::sim::SimPlatform sim(input, output);
  sim.Windows().ShowForegroundWindow(static_cast<platform::ProcessId>(getppid()));
  EXPECT_EQ(GrantForeground(sim.Get(), Utf8ToUtf16(argument)), 0);
  EXPECT_EQ(output.calls().size(), 1u);  // one write: the line arrives whole
  return std::string(output.bytes().begin(), output.bytes().end());
}

TEST(GrantArguments, OnlyAnotherProcessIdInRangeIsCheckedAgainstThisProgram) {
  const std::string own = std::to_string(getpid());
  for (const std::string& argument :
       {""s, "12a"s, "+5"s, "-5"s, " 5"s, "5 "s, "0x10"s, "12345678901"s, "0"s, "1"s, "00"s,
        "4294967295"s, "9999999999"s, own, "000" + own,
        "\xEF\xBC\x95\xEF\xBC\x96"s}) {  // the last: full-width digits, not ASCII ones
    EXPECT_EQ(GrantLine(argument), Line("invalid_target")) << argument;
  }
  // The range's edges, the parent, and a child of this process, whose parent is another.
  const auto child = HelperProcess::Launch("/bin/cat", LaunchOptions{});
  for (const std::string& argument :
       {"4294967294"s, "2"s, std::to_string(getppid()), std::to_string(child->Pid())}) {
    EXPECT_EQ(GrantLine(argument), Line("target_mismatch")) << argument;
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

  // Grant mode's line; it exits 0 whatever its answer.
  static std::string Grant(pid_t target, std::vector<std::pair<std::string, std::string>> env = {},
                           const std::string& executable = VELMORA_HELPER_PATH) {
    return RunHelperOnce(0, executable, {"--grant-foreground", std::to_string(target)},
                         std::move(env));
  }

  fs::path directory_;
};

// A sibling of the same executable is granted on a safe desktop; each unsafe one has its reason.
TEST_F(GrantProcessTest, SiblingIsGrantedOrTheDesktopConditionGiven) {
  const auto sibling = HelperProcess::Launch(VELMORA_HELPER_PATH, LaunchOptions{});
  const std::pair<const char*, const char*> cases[] = {
      {"default", "granted"},
      {"locked", "unsafe_desktop"},
      {"secure_desktop", "unsafe_desktop"},
      {"query_fails", "unsafe_desktop"},
      {"foreign_foreground", "caller_not_foreground"},
      {"deny_foreground_grant", "os_denied"}};
  for (const auto& [scene, reason] : cases) {
    EXPECT_EQ(Grant(sibling->Pid(), {{"VELMORA_SIM_SCENE", scene}}), Line(reason)) << scene;
  }
}

TEST_F(GrantProcessTest, CopyAtAnotherPathIsAMismatchButLetterCaseIsNot) {
  const auto copy = HelperProcess::Launch(CopyHelper("computer-use-helper"), LaunchOptions{});
  EXPECT_EQ(Grant(copy->Pid()), Line("target_mismatch"));

  // Two files whose paths differ only in case count as one program, as on Windows.
  const std::string upper = CopyHelper("COMPUTER-USE-HELPER");
  EXPECT_EQ(Grant(copy->Pid(), {}, upper), Line("granted"));
}

TEST_F(GrantProcessTest, ExitedSiblingAndOtherParentsChildAreMismatches) {
  auto exited = HelperProcess::Launch(VELMORA_HELPER_PATH, LaunchOptions{{"unexpected"}, {}});
  ASSERT_EQ(exited->WaitExit(seconds(10)), 2);
  EXPECT_EQ(Grant(exited->Pid()), Line("target_mismatch"));

  // A helper whose parent is a shell, not this process.
  auto shell = HelperProcess::Launch(
      "/bin/sh", LaunchOptions{{"-c", std::string("\"") + VELMORA_HELPER_PATH +
                                          "\" </dev/null >/dev/null & echo $!; wait"},
                               {}});
  std::string pidText;
  char c;
  while (read(shell->OutputFd(), &c, 1) == 1 && c != '\n') pidText.push_back(c);
  const pid_t nephew = std::stoi(pidText);
  EXPECT_EQ(Grant(nephew), Line("target_mismatch"));
  kill(nephew, SIGKILL);
}

TEST_F(GrantProcessTest, WrongCommandLinesExitTwoAndPrintNothing) {
  const std::vector<std::vector<std::string>> commandLines = {
      {"--grant-foreground"},           {"x"},
      {"--grant-foreground", "5", "6"}, {"--GRANT-FOREGROUND", "5"},
      {"--grant-foreground=5", "x"},    {"", ""},
  };
  for (const auto& arguments : commandLines) {
    EXPECT_EQ(RunHelperOnce(2, VELMORA_HELPER_PATH, arguments), "") << arguments[0];
  }
}

}  // namespace
}  // namespace velmora::computer_use
