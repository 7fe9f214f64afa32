// The computer-use tool: its script language and picture, and the real executable run as a
// parent author runs it, against the real Linux helper.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/annotate.h"
#include "cli/script.h"
#include "cli/session.h"
#include "support/test_support.h"

namespace velmora::computer_use::cli {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

TEST(CliScript, LinesParseOrFailWithTheirReason) {
  // A line and the reason it fails with, or empty when it parses.
  const std::pair<const char*, const char*> cases[] = {
      {"act type uia:2 \"a \\\"b\\\" c\"", ""},
      {"act key Enter --modifiers control,shift", ""},
      {"request observe {\"scope\": \"foreground\"}", ""},
      {"frobnicate now", "unknown command \"frobnicate\""},
      {"act type uia:2 \"unfinished", "unbalanced quote"},
      {"act type uia:2 \"a\"b", "text right after a quote"},
      {"act click", "act click takes 1 words, not 0"},
      {"act pinch uia:1", "act needs one of: click"},
      {"wait text x --timeout", "option --timeout needs a value"},
      {"observe foreground --colour red", "unknown option --colour"},
      {"user", "user needs more words"},
  };
  for (const auto& [text, reason] : cases) {
    const std::string error = testing::FailureCode(
        [&line = text] { EXPECT_TRUE(ParseLine(line, 1).has_value()) << line; });
    // Parsed exactly when no reason is given, else failed with it.
    EXPECT_EQ(error.empty(), *reason == '\0') << text << ": " << error;
    EXPECT_NE(error.find(reason), std::string::npos) << text << ": " << error;
  }
  EXPECT_EQ(ParseLine("  act type uia:2 \"a \\\"b\\\" c\"", 4)->words,
            (std::vector<std::string>{"type", "uia:2", "a \"b\" c"}));
  EXPECT_EQ(*ParseLine("act key A --modifiers control", 1)->Option("modifiers"), "control");
  EXPECT_FALSE(ParseLine("   # a comment \"", 1).has_value());
  std::istringstream script("observe foreground\n\nact click\n");
  EXPECT_EQ(testing::FailureCode([&] { ParseScript(script); }).rfind("line 3: ", 0), 0U);
}

TEST(CliScript, TargetsResolveByIdOrUniqueName) {
  const json box = {{"x", 0}, {"y", 0}, {"width", 1}, {"height", 1}};
  const json seen = {{"targets",
                      {{{"id", "uia:1"}, {"name", "Send"}, {"bounds", box}},
                       {{"id", "uia:2"}, {"name", "Item"}, {"bounds", box}},
                       {{"id", "uia:3"}, {"name", "Item"}, {"bounds", box}},
                       {{"id", "ocr:0"}, {"name", "Send"}}}}};
  EXPECT_EQ(ResolveTarget(seen, "uia:2"), "uia:2");
  EXPECT_EQ(ResolveTarget(seen, "Send"), "uia:1");
  EXPECT_THROW(ResolveTarget(seen, "Item"), ScriptError);
  EXPECT_THROW(ResolveTarget(seen, "uia:9"), ScriptError);
}

TEST(CliAnnotate, BoxesAreScaledOntoThePictureAndTextIsEscaped) {
  const json seen = {{"windowBounds", {{"x", 100}, {"y", 50}, {"width", 1000}, {"height", 400}}},
                     {"screenshot", {{"width", 500}, {"height", 200}, {"mediaType", "image/png"}}},
                     {"targets",
                      {{{"id", "uia:0"},
                        {"role", "a<b>&\"'"},
                        {"name", std::string("x\x01</title>y")},
                        {"bounds", {{"x", 300}, {"y", 150}, {"width", 200}, {"height", 40}}}},
                       {{"id", "ocr:0"}, {"role", "text"}}}}};
  std::size_t boxes = 0;
  const std::string svg = AnnotatedSvg(seen, {0xff, 0x00, 0x7f, 0x10}, boxes);
  EXPECT_EQ(boxes, 1U);
  EXPECT_NE(svg.find("href=\"data:image/png;base64,/wB/EA==\""), std::string::npos);
  EXPECT_NE(svg.find("<rect x=\"100.0\" y=\"50.0\" width=\"100.0\" height=\"20.0\"/>"),
            std::string::npos);
  EXPECT_NE(svg.find("uia:0 a&lt;b&gt;&amp;&quot;&apos;</text>"), std::string::npos);
  EXPECT_NE(svg.find("<title>x\xEF\xBF\xBD&lt;/title&gt;y</title>"), std::string::npos);
}

// The tool as a subprocess, bounded by timeout(1) so that a hang fails instead of blocking.
class CliRun : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() /
                 ("velmora-cli-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(directory_);
    fs::create_directories(directory_);
  }
  void TearDown() override { fs::remove_all(directory_); }

  // Runs `computer-use session` in the test's directory; answers its exit code.
  int Run(const std::string& script, const std::string& arguments, bool viaStdin = false) {
    std::ofstream(directory_ / "script") << script;
    const std::string command = "cd '" + directory_.string() + "' && timeout 60 '" +
                                VELMORA_CLI_PATH + "' session " + (viaStdin ? "" : "script ") +
                                "--helper '" + VELMORA_HELPER_PATH + "' " + arguments +
                                (viaStdin ? " < script" : "") + " > out 2> err";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // A file of the test's directory, or any file by its absolute path.
  std::string Read(const fs::path& name) const {
    std::ifstream file(directory_ / name);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }

  fs::path directory_;
};

TEST_F(CliRun, DemoScriptTypesClicksChecksAndDrawsEveryElement) {
  ASSERT_EQ(Run(Read(VELMORA_DEMO_SCRIPT), ""), 0) << Read("err");
  const std::string out = Read("out");
  EXPECT_EQ(Read("err"), "");
  EXPECT_NE(out.find("\"found\":\"Sent: Hello from the parent\""), std::string::npos);
  EXPECT_NE(out.find("{\"expect\":\"absent\""), std::string::npos);
  EXPECT_NE(out.find("{\"exit\":0}"), std::string::npos);
  // Every observed element of the first observation has its box in the picture.
  const std::size_t at = out.find("\"requestId\":\"r3\",\"result\":");
  ASSERT_NE(at, std::string::npos);
  const std::size_t line = out.rfind('\n', at) + 1;
  const json frame = json::parse(out.substr(line, out.find('\n', at) - line));
  std::size_t elements = 0;
  for (const json& node : frame["frame"]["result"]["targets"]) elements += node.contains("bounds");
  const std::string check =
      "cd '" + directory_.string() +
      "' && python3 -c \"import xml.etree.ElementTree as E; "
      "print(len(E.parse('build/demo/screen.svg').findall('.//{http://www.w3.org/2000/svg}"
      "rect')))\" > rects";
  if (std::system("python3 -c '' 2>/dev/null") != 0) GTEST_SKIP() << "no python3 to parse XML";
  ASSERT_EQ(std::system(check.c_str()), 0);
  EXPECT_EQ(std::stoul(Read("rects")), elements);
  EXPECT_GT(fs::file_size(directory_ / "build/demo/screen.png"), 0U);
}

TEST_F(CliRun, BadInputEndsWithOneLineErrorAndNonZeroExit) {
  // Name, script, arguments, script on standard input, error.
  const std::tuple<const char*, const char*, const char*, bool, const char*> cases[] = {
      {"unknown command", "capabilities\nfrobnicate\n", "", false, "line 2: unknown command"},
      {"unknown command typed", "capabilities\nfrobnicate\n", "", true, "line 2: unknown command"},
      {"unknown id", "observe foreground\nact click uia:99\n", "", true, "no element \"uia:99\""},
      {"act before observing", "act click uia:2\n", "", false, "observe first"},
      {"unbalanced quote", "act type uia:2 \"hi\n", "", false, "unbalanced quote"},
      {"helper missing", "capabilities\n", "--helper /nonexistent/helper", false, "nonexistent"},
      {"helper not speaking", "capabilities\n", "--helper /bin/true", false, "handshake"},
      {"helper gone", "request shutdown\ncapabilities\n", "", false, "line 2: capabilities: "},
      {"helper refuses", "request no.such.method {}\n", "", false,
       "no.such.method: invalid_request"},
      {"wait not met", "observe foreground\nwait text nowhere --timeout 200\n", "", false,
       "not met within 200 ms"},
      {"user refuses", "user focus Nowhere\n", "", false, "user focus Nowhere: error"},
      {"desktop locked", "observe foreground\n", "--scene locked", false,
       "secure_desktop_unavailable"},
  };
  for (const auto& [name, script, arguments, viaStdin, error] : cases) {
    SCOPED_TRACE(name);
    const int code = Run(script, arguments, viaStdin);
    EXPECT_NE(code, 0);
    EXPECT_NE(code, 124) << "timed out";
    const std::string err = Read("err");
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    EXPECT_EQ(err.rfind("computer-use: ", 0), 0U) << err;
    EXPECT_NE(err.find(error), std::string::npos) << err;
  }
}

}  // namespace
}  // namespace velmora::computer_use::cli
