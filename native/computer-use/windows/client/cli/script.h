// The computer-use tool's script language: one command per line, words split on blanks, double
// quotes around words with blanks ("\"" and "\\" inside), "#" starting a comment line.
#pragma once

#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::computer_use::cli {

// Bad input: the message is one line, without the line number.
class ScriptError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ScriptLine {
  int number = 0;
  std::string verb;
  std::vector<std::string> words;                            // after the verb, without the options
  std::vector<std::pair<std::string, std::string>> options;  // "--name value", name without "--"
  std::string rest;  // the text after the verb as written, for "request" and "user"

  const std::string* Option(std::string_view name) const;
};

// Splits on blanks, keeping quoted words whole; throws ScriptError on an unbalanced quote.
std::vector<std::string> SplitWords(std::string_view text);

// Parses and checks one line against the command table: nullopt for a blank or comment line,
// ScriptError for an unknown command, a wrong word count or an unknown option.
std::optional<ScriptLine> ParseLine(std::string_view text, int number);

// Every line of a script, checked before anything runs; the error names its line.
std::vector<ScriptLine> ParseScript(std::istream& input);

}  // namespace velmora::computer_use::cli
