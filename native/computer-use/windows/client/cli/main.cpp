// computer-use session [SCRIPT] [--helper PATH] [--screenshot FILE] [--annotate FILE.svg]
//                      [--scene NAME]
// Drives one helper session from a script (or standard input) and prints every frame.
#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "cli/script.h"
#include "cli/session.h"

namespace velmora::computer_use::cli {
namespace {

constexpr char kUsage[] =
    "usage: computer-use session [SCRIPT] [--helper PATH] [--screenshot FILE] "
    "[--annotate FILE.svg] [--scene NAME]\n";

// The helper installed beside this executable.
std::string DefaultHelper(const char* argv0) {
#ifdef _WIN32
  std::wstring self(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
  self.resize(length);
  const std::filesystem::path path =
      length > 0 ? std::filesystem::path(self) : std::filesystem::path(argv0);
  return (path.parent_path() / "computer-use-helper.exe").string();
#else
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) path = argv0;
  return (path.parent_path() / "computer-use-helper").string();
#endif
}

// One line whatever the message holds.
void Fail(const std::string& message) {
  std::string line = message;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::cerr << "computer-use: " << line << std::endl;
}

// "line N: verb: message", the verb once even when the message starts with it.
std::string Where(const ScriptLine& line, const std::string& message) {
  const std::string verb = line.verb + ": ";
  return "line " + std::to_string(line.number) + ": " +
         (message.rfind(verb, 0) == 0 ? message : verb + message);
}

int RunSession(const std::vector<std::string>& args, const char* argv0) {
  SessionOptions options;
  std::string scriptPath;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string* value = nullptr;
    if (arg == "--helper") value = &options.helper;
    if (arg == "--screenshot") value = &options.screenshot;
    if (arg == "--annotate") value = &options.annotate;
    if (arg == "--scene") value = &options.scene;
    if (value != nullptr) {
      if (i + 1 == args.size()) throw ScriptError(arg + " needs a value");
      *value = args[++i];
    } else if (arg.rfind("--", 0) == 0 || !scriptPath.empty()) {
      throw ScriptError("unexpected argument \"" + arg + "\"");
    } else {
      scriptPath = arg;
    }
  }
  if (options.helper.empty()) options.helper = DefaultHelper(argv0);

  // A script is checked whole before the helper starts.
  std::vector<ScriptLine> script;
  if (!scriptPath.empty()) {
    std::ifstream file(scriptPath);
    if (!file) throw ScriptError("cannot read " + scriptPath);
    script = ParseScript(file);
  }
  Session session(options, std::cout);
  int number = 0;
  std::string text;
  for (std::size_t next = 0;;) {
    ScriptLine line;
    if (!scriptPath.empty()) {
      if (next == script.size()) break;
      line = script[next++];
    } else {
      if (!std::getline(std::cin, text)) break;
      ++number;
      try {
        auto parsed = ParseLine(text, number);
        if (!parsed) continue;
        line = std::move(*parsed);
      } catch (const ScriptError& error) {
        throw ScriptError("line " + std::to_string(number) + ": " + error.what());
      }
    }
    try {
      session.Run(line);
    } catch (const std::exception& error) {
      Fail(Where(line, error.what()));
      return 1;
    }
  }
  const int code = session.Finish();
  if (code != 0) throw std::runtime_error("the helper exited with code " + std::to_string(code));
  return 0;
}

}  // namespace
}  // namespace velmora::computer_use::cli

int main(int argc, char** argv) {
  namespace cli = velmora::computer_use::cli;
  const std::vector<std::string> args(argv + std::min(argc, 2), argv + argc);
  if (argc < 2 || std::string_view(argv[1]) != "session") {
    std::cerr << cli::kUsage;
    return 2;
  }
  try {
    return cli::RunSession(args, argv[0]);
  } catch (const cli::ScriptError& error) {
    cli::Fail(error.what());
    return 2;
  } catch (const std::exception& error) {
    cli::Fail(error.what());
    return 1;
  }
}
