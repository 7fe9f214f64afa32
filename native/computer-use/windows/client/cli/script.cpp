#include "cli/script.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace velmora::computer_use::cli {
namespace {

constexpr std::size_t kAnyCount = 1000;

// A command, or a command with its first word, and how many words and which options follow.
struct Rule {
  std::string_view verb;
  std::string_view sub;  // empty: no sub-command word
  std::size_t minWords;
  std::size_t maxWords;
  std::array<std::string_view, 2> options;  // empty names unused
};

constexpr std::array<Rule, 22> kRules{{
    {"observe", "foreground", 0, 0, {"screenshot", "annotate"}},
    {"observe", "app", 1, 3, {"screenshot", "annotate"}},
    {"observe", "windows", 1, 1, {}},
    {"act", "click", 1, 1, {}},
    {"act", "double_click", 1, 1, {}},
    {"act", "focus", 1, 1, {}},
    {"act", "type", 2, 2, {}},
    {"act", "key", 1, 2, {"modifiers"}},
    {"act", "scroll", 2, 3, {}},
    {"activate", "", 1, 2, {}},
    {"wait", "text", 1, 1, {"timeout"}},
    {"wait", "changed", 0, 0, {"timeout"}},
    {"wait", "exists", 1, 1, {"timeout"}},
    {"wait", "missing", 1, 1, {"timeout"}},
    {"record", "", 1, 1, {}},
    {"capabilities", "", 0, 0, {}},
    {"permissions", "", 0, 0, {}},
    {"request", "", 1, kAnyCount, {}},
    {"user", "", 1, kAnyCount, {}},
    {"expect", "text", 1, 1, {}},
    {"expect", "event", 1, 2, {}},
    {"expect", "absent", 1, 1, {}},
}};

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string Quoted(std::string_view word) {
  return "\"" + std::string(word) + "\"";
}

const Rule& FindRule(const ScriptLine& line) {
  bool verbKnown = false;
  for (const Rule& rule : kRules) {
    if (rule.verb != line.verb) continue;
    verbKnown = true;
    if (rule.sub.empty() || (!line.words.empty() && line.words.front() == rule.sub)) return rule;
  }
  if (!verbKnown) throw ScriptError("unknown command " + Quoted(line.verb));
  std::string subs;
  for (const Rule& rule : kRules) {
    if (rule.verb == line.verb) subs += (subs.empty() ? "" : ", ") + std::string(rule.sub);
  }
  throw ScriptError(line.verb + " needs one of: " + subs);
}

}  // namespace

const std::string* ScriptLine::Option(std::string_view name) const {
  for (const auto& [key, value] : options) {
    if (key == name) return &value;
  }
  return nullptr;
}

std::vector<std::string> SplitWords(std::string_view text) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while (true) {
    while (at < text.size() && IsBlank(text[at])) ++at;
    if (at == text.size()) return words;
    std::string word;
    if (text[at] != '"') {
      while (at < text.size() && !IsBlank(text[at])) word += text[at++];
      words.push_back(std::move(word));
      continue;
    }
    ++at;
    while (true) {
      if (at == text.size()) throw ScriptError("unbalanced quote");
      const char c = text[at++];
      if (c == '"') break;
      if (c == '\\' && at < text.size() && (text[at] == '"' || text[at] == '\\')) {
        word += text[at++];
      } else {
        word += c;
      }
    }
    if (at < text.size() && !IsBlank(text[at])) throw ScriptError("text right after a quote");
    words.push_back(std::move(word));
  }
}

std::optional<ScriptLine> ParseLine(std::string_view text, int number) {
  text = Trim(text);
  if (text.empty() || text.front() == '#') return std::nullopt;
  ScriptLine line;
  line.number = number;
  const std::size_t end = std::min(text.find_first_of(" \t"), text.size());
  line.verb = std::string(text.substr(0, end));
  line.rest = std::string(Trim(text.substr(end)));
  if (line.verb == "request" || line.verb == "user") {
    // The rest is JSON or the simulated user's own line: no quoting of ours.
    if (line.rest.empty()) throw ScriptError(line.verb + " needs more words");
    return line;
  }
  const std::vector<std::string> words = SplitWords(line.rest);
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i].size() > 2 && words[i].rfind("--", 0) == 0) {
      if (i + 1 == words.size()) throw ScriptError("option " + words[i] + " needs a value");
      line.options.emplace_back(words[i].substr(2), words[i + 1]);
      ++i;
    } else {
      line.words.push_back(words[i]);
    }
  }
  const Rule& rule = FindRule(line);
  const std::size_t count = line.words.size() - (rule.sub.empty() ? 0 : 1);
  if (count < rule.minWords || count > rule.maxWords) {
    std::string name = line.verb + (rule.sub.empty() ? "" : " " + std::string(rule.sub));
    throw ScriptError(
        name + " takes " + std::to_string(rule.minWords) +
        (rule.maxWords != rule.minWords ? " to " + std::to_string(rule.maxWords) : std::string()) +
        " words, not " + std::to_string(count));
  }
  for (const auto& option : line.options) {
    if (std::find(rule.options.begin(), rule.options.end(), option.first) == rule.options.end()) {
      throw ScriptError("unknown option --" + option.first + " for " + line.verb);
    }
  }
  return line;
}

std::vector<ScriptLine> ParseScript(std::istream& input) {
  std::vector<ScriptLine> lines;
  std::string text;
  for (int number = 1; std::getline(input, text); ++number) {
    try {
      if (auto line = ParseLine(text, number)) lines.push_back(std::move(*line));
    } catch (const ScriptError& error) {
      throw ScriptError("line " + std::to_string(number) + ": " + error.what());
    }
  }
  return lines;
}

}  // namespace velmora::computer_use::cli
