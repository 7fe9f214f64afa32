#include "cli/session.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <random>
#include <utility>
#include <vector>

#include "cli/annotate.h"

namespace velmora::computer_use::cli {
namespace {

using nlohmann::json;

constexpr char kLeaseId[] = "computer-use";
constexpr std::int64_t kActAheadMs = 5000;
constexpr std::int64_t kDefaultWaitMs = 5000;
constexpr std::chrono::seconds kFrameWait{10};

std::string Compact(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Assembled by hand so that "dir" leads each line (objects print their keys sorted).
std::string DescribeFrame(bool toHelper, const client::ClientFrame& frame) {
  std::string line =
      std::string("{\"dir\":\"") + (toHelper ? "parent->helper" : "helper->parent") + "\",";
  if (frame.kind == client::kBinaryFrameKind) {
    line += "\"binary\":" + Compact({{"id", frame.binaryId}, {"bytes", frame.payload.size()}});
  } else {
    line += "\"frame\":" + Compact(frame.json);
  }
  return line + "}";
}

std::string StringOf(const json& object, const char* name) {
  if (!object.is_object()) return "";
  const auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

const json& Targets(const json& observation) {
  static const json kNone = json::array();
  const auto found = observation.find("targets");
  return found != observation.end() && found->is_array() ? *found : kNone;
}

// The window a wait or a key without an element names: "appIdentity:windowIdentity".
std::string WindowOf(const json& observation) {
  const json& window = observation.value("foreground", json::object());
  return StringOf(window, "appIdentity") + ":" + StringOf(window, "windowIdentity");
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::int64_t ToInteger(const std::string& word, std::int64_t low, std::int64_t high,
                       const std::string& what) {
  std::size_t used = 0;
  std::int64_t value = 0;
  try {
    value = std::stoll(word, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != word.size() || value < low || value > high) {
    throw ScriptError(what + " must be a whole number from " + std::to_string(low) + " to " +
                      std::to_string(high) + ", not \"" + word + "\"");
  }
  return value;
}

#ifndef _WIN32
std::string RandomSuffix() {
  std::random_device device;
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const unsigned value = device();
    for (int shift = 0; shift < 32; shift += 8) text += "0123456789abcdef"[(value >> shift) & 15];
  }
  return text;
}
#endif


void SaveFile(const std::string& path, const char* data, std::size_t size) {
  const std::filesystem::path file(path);
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
  std::ofstream stream(file, std::ios::binary | std::ios::trunc);
  stream.write(data, static_cast<std::streamsize>(size));
  if (!stream) throw CommandFailed("could not write " + path);
}

}  // namespace

json ActContext(const json& observation, std::int64_t sequence, std::int64_t nowMs,
                std::int64_t aheadMs, const std::string& targetIdentity) {
  return json{{"leaseId", kLeaseId},
              {"sequence", sequence},
              {"deadline", nowMs + aheadMs},
              {"observationId", StringOf(observation, "id")},
              {"expectedStateHash", StringOf(observation, "stateHash")},
              {"targetIdentity", targetIdentity},
              {"interaction", observation.value("interaction", json::object())}};
}

std::string ResolveTarget(const json& observation, const std::string& word) {
  std::vector<std::string> named;
  for (const json& node : Targets(observation)) {
    if (StringOf(node, "id") == word) return word;
    // Text read off the picture has no bounds and cannot be acted on.
    if (StringOf(node, "name") == word && node.contains("bounds")) {
      named.push_back(StringOf(node, "id"));
    }
  }
  if (named.size() == 1) return named.front();
  if (named.empty()) throw ScriptError("no element \"" + word + "\" in the last observation");
  throw ScriptError("\"" + word + "\" names " + std::to_string(named.size()) +
                    " elements; use an id");
}

Session::Session(SessionOptions options, std::ostream& out)
    : options_(std::move(options)), out_(out) {
  client::LaunchOptions launch;
  if (!options_.scene.empty()) {
#ifdef _WIN32
    throw ScriptError("--scene needs the Linux helper's simulated desktop");
#else
    launch.environment.emplace_back("VELMORA_SIM_SCENE", options_.scene);
#endif
  }
#ifndef _WIN32
  // The Linux helper is the simulated desktop: its user is played through this socket.
  userSocket_ =
      (std::filesystem::temp_directory_path() / ("velmora-cu-" + RandomSuffix())).string();
  launch.environment.emplace_back("VELMORA_SIM_USER", userSocket_);
#endif
  client_ = std::make_unique<client::HelperClient>(
      client::HelperProcess::Launch(options_.helper, launch));
  client_->SetObserver([this](bool toHelper, const client::ClientFrame& frame) {
    Print(DescribeFrame(toHelper, frame));
  });
  client_->Handshake();
}

Session::~Session() = default;

void Session::Print(const std::string& line) {
  std::lock_guard lock(printMutex_);
  out_ << line << std::endl;
}

json Session::Call(const std::string& method, const json& payload,
                   std::chrono::milliseconds timeout) {
  const json response = client_->Request(method, payload, timeout);
  if (!response.value("ok", false)) {
    throw CommandFailed(method + ": " + response.value("error", std::string("error")));
  }
  json result = response.value("result", json::object());
  if (result.is_object() && result.contains("ok") && !result.value("ok", true)) {
    throw CommandFailed(method + ": " + result.value("errorCode", std::string("did not succeed")));
  }
  return result;
}

const json& Session::LastObservation() const {
  if (!last_) throw ScriptError("no observation yet: observe first");
  return *last_;
}

void Session::Run(const ScriptLine& line) {
  const std::string& verb = line.verb;
  if (verb == "observe") {
    Observe(line);
  } else if (verb == "act") {
    ActLine(line);
  } else if (verb == "activate") {
    json action{{"kind", "activate_app"}, {"appIdentity", line.words[0]}};
    if (line.words.size() > 1) action["windowIdentity"] = line.words[1];
    Act(action, line.words[0]);
  } else if (verb == "wait") {
    WaitLine(line);
  } else if (verb == "record") {
    RecordLine(line);
  } else if (verb == "capabilities" || verb == "permissions") {
    Call(verb, json::object());
  } else if (verb == "request") {
    RequestLine(line);
  } else if (verb == "user") {
    UserLine(line);
  } else if (verb == "expect") {
    ExpectLine(line);
  } else {
    throw ScriptError("unknown command \"" + verb + "\"");
  }
}

void Session::Observe(const ScriptLine& line) {
  const std::string& scope = line.words[0];
  json payload{{"scope", scope == "foreground" ? "foreground" : "application"}};
  if (scope == "windows") {
    payload["appIdentity"] = line.words[1];
    payload["purpose"] = "list_windows";
  } else if (scope == "app") {
    payload["appIdentity"] = line.words[1];
    if (line.words.size() == 4 && line.words[2] == "window") {
      payload["windowIdentity"] = line.words[3];
    } else if (line.words.size() != 2) {
      throw ScriptError("observe app takes IDENTITY [window ID]");
    }
  }
  const std::string* screenshot = line.Option("screenshot");
  const std::string* annotate = line.Option("annotate");
  const std::string shotPath = screenshot ? *screenshot : options_.screenshot;
  const std::string svgPath = annotate ? *annotate : options_.annotate;
  if (!shotPath.empty() || !svgPath.empty()) payload["allowVisual"] = true;
  json result = Call("observe", payload);
  last_ = result;
  if (result.contains("screenshot")) SaveVisual(result, shotPath, svgPath);
}

void Session::SaveVisual(const json& result, const std::string& screenshot,
                         const std::string& annotate) {
  const std::string id = StringOf(result["screenshot"], "binaryRequestId");
  std::vector<std::uint8_t> image;
  const auto found = client_->WaitFor(
      [&](const client::ClientFrame& frame) {
        if (frame.kind != client::kBinaryFrameKind || frame.binaryId != id) return false;
        image = frame.payload;
        return true;
      },
      kFrameWait);
  if (!found) throw std::runtime_error("the screenshot " + id + " did not arrive");
  if (!screenshot.empty()) {
    SaveFile(screenshot, reinterpret_cast<const char*>(image.data()), image.size());
    Print(Compact({{"screenshot", screenshot}, {"bytes", image.size()}}));
  }
  if (!annotate.empty()) {
    std::size_t boxes = 0;
    const std::string svg = AnnotatedSvg(result, image, boxes);
    SaveFile(annotate, svg.data(), svg.size());
    Print(Compact({{"annotated", annotate}, {"boxes", boxes}}));
  }
}

void Session::Act(const json& action, const std::string& targetIdentity,
                  std::chrono::milliseconds extra) {
  const json context = ActContext(LastObservation(), ++sequence_, NowMs(),
                                  kActAheadMs + extra.count(), targetIdentity);
  Call("act", {{"action", action}, {"context", context}}, std::chrono::seconds(10) + extra);
}

void Session::ActLine(const ScriptLine& line) {
  const std::string& kind = line.words[0];
  const json& seen = LastObservation();
  json action{{"kind", kind}};
  if (kind == "key") {
    action["key"] = line.words[1];
    if (const std::string* modifiers = line.Option("modifiers")) {
      std::string list = *modifiers;
      std::replace(list.begin(), list.end(), ',', ' ');
      action["modifiers"] = SplitWords(list);
    }
    Act(action, line.words.size() > 2 ? ResolveTarget(seen, line.words[2]) : WindowOf(seen));
    return;
  }
  const std::string target = ResolveTarget(seen, line.words[1]);
  if (kind == "type") action["text"] = line.words[2];
  if (kind == "scroll") {
    const std::string& direction = line.words[2];
    const std::string amount = line.words.size() > 3 ? line.words[3] : "small";
    if ((direction != "up" && direction != "down") || (amount != "small" && amount != "page")) {
      throw ScriptError("act scroll takes TARGET up|down [small|page]");
    }
    action["direction"] = direction;
    action["amount"] = amount;
  }
  Act(action, target);
}

void Session::WaitLine(const ScriptLine& line) {
  const std::string& kind = line.words[0];
  const std::string* timeoutWord = line.Option("timeout");
  const std::int64_t timeout =
      timeoutWord ? ToInteger(*timeoutWord, 100, 60'000, "--timeout") : kDefaultWaitMs;
  json assertion;
  if (kind == "text") {
    assertion = {{"kind", "text_matches"}, {"pattern", line.words[1]}};
  } else if (kind == "changed") {
    assertion = {{"kind", "state_changed"}};
  } else {
    assertion = {{"kind", kind == "exists" ? "target_exists" : "target_missing"},
                 {"target", {{"name", line.words[1]}}}};
  }
  const json action{{"kind", "wait"}, {"timeoutMs", timeout}, {"assertion", assertion}};
  try {
    Act(action, WindowOf(LastObservation()), std::chrono::milliseconds(timeout));
  } catch (const CommandFailed& failed) {
    const std::string what = failed.what();
    throw CommandFailed(what == "act: did not succeed"
                            ? "wait " + kind + ": not met within " + std::to_string(timeout) + " ms"
                            : what);
  }
}

void Session::RecordLine(const ScriptLine& line) {
  const std::string& word = line.words[0];
  if (word == "stop" || word == "pause" || word == "resume") {
    Call("record." + word, json::object());
    return;
  }
  const std::int64_t seconds = ToInteger(word, 1, 1800, "record's duration in seconds");
  recordFrom_ = client_->FrameCount();
  Call("record.start", {{"maxDurationSeconds", seconds}});
}

void Session::RequestLine(const ScriptLine& line) {
  const std::size_t end = std::min(line.rest.find_first_of(" \t"), line.rest.size());
  const std::string method = line.rest.substr(0, end);
  const std::string text = line.rest.substr(end);
  json payload;  // null: no "payload" member
  if (text.find_first_not_of(" \t") != std::string::npos) {
    payload = json::parse(text, nullptr, false);
    if (payload.is_discarded() || !payload.is_object()) {
      throw ScriptError("request " + method + ": the payload is not a JSON object");
    }
  }
  Call(method, payload);
}

void Session::UserLine(const ScriptLine& line) {
#ifdef _WIN32
  (void)line;
  throw ScriptError("user: the simulated user exists only with the Linux helper");
#else
  if (!user_) user_.emplace(client::UserChannel::Connect(userSocket_));
  const std::string answer = user_->Command(line.rest);
  Print(Compact({{"user", line.rest}, {"answer", answer}}));
  if (answer != "ok") throw CommandFailed("user " + line.rest + ": " + answer);
#endif
}

void Session::ExpectLine(const ScriptLine& line) {
  const std::string& kind = line.words[0];
  const std::string& value = line.words[1];
  if (kind == "text") {
    for (const json& node : Targets(LastObservation())) {
      const std::string name = StringOf(node, "name");
      if (Lower(name).find(Lower(value)) != std::string::npos) {
        Print(Compact({{"expect", "text"}, {"pattern", value}, {"found", name}}));
        return;
      }
    }
    throw CommandFailed("expect text: no element of the last observation shows \"" + value + "\"");
  }
  if (kind == "event") {
    const std::string key = line.words.size() > 2 ? line.words[2] : "";
    const auto found = client_->WaitFor(
        [&](const client::ClientFrame& frame) {
          if (frame.kind != client::kJsonFrameKind || StringOf(frame.json, "type") != "event") {
            return false;
          }
          const json& event = frame.json.value("event", json::object());
          return StringOf(event, "kind") == value && (key.empty() || StringOf(event, "key") == key);
        },
        kFrameWait, recordFrom_);
    if (!found) throw CommandFailed("expect event: no " + value + " event " + key);
    Print(Compact({{"expect", "event"}, {"kind", value}, {"key", key}, {"seen", true}}));
    return;
  }
  // absent: nothing the helper sent since the recording started carries the text.
  std::size_t checked = 0;
  const std::vector<client::ClientFrame> frames = client_->Frames();
  for (std::size_t i = recordFrom_; i < frames.size(); ++i) {
    if (frames[i].kind != client::kJsonFrameKind) continue;
    ++checked;
    if (Compact(frames[i].json).find(value) != std::string::npos) {
      throw CommandFailed("expect absent: the helper sent \"" + value + "\"");
    }
  }
  Print(Compact({{"expect", "absent"}, {"text", value}, {"framesChecked", checked}}));
}

int Session::Finish() {
  client_->Process().CloseInput();
  if (!client_->WaitForEnd(kFrameWait)) throw std::runtime_error("the helper output did not end");
  if (const auto error = client_->ReaderError()) {
    throw std::runtime_error("malformed helper output: " + *error);
  }
  const std::optional<int> code = client_->Process().WaitExit(kFrameWait);
  if (!code) throw std::runtime_error("the helper did not exit");
  Print(Compact({{"exit", *code}}));
  return *code;
}

}  // namespace velmora::computer_use::cli
