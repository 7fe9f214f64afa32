// computer-use-demo [path-to-helper [screenshot-directory]]: drives one helper session and prints
// every frame as a JSON line; screenshots are written to the directory (default: the current
// one). After its first observation it plays the user through the simulated user's channel
// (types into "Message", clicks "Send"), then does the same itself with "act", and prints the
// status the application shows each time. Exits 0 when the helper exited 0, every request got
// exactly one response, every announced screenshot arrived and both messages were sent.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "helper_client.h"

namespace velmora::computer_use::client {
namespace {

using nlohmann::json;

// The scene's applications, by the identity the helper gives their image paths.
constexpr char kSettingsIdentity[] =
    "exe_path_sha256:3d91ad2756bfe69871995ab990edfe451ab6266fa07e95630bf49b80dedb4efd";
constexpr char kNotesIdentity[] =
    "exe_path_sha256:e3ab4255821561c70ada41fed02248596d7785ffee39c88ec24227d1cfc37b55";

std::string DefaultHelperPath() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return "computer-use-helper";
  return (self.parent_path() / "computer-use-helper").string();
}

std::string Compact(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// One line per call under one lock, so reader-thread and main-thread lines never interleave.
class LinePrinter {
 public:
  void Print(const std::string& line) {
    std::lock_guard lock(mutex_);
    std::cout << line << std::endl;
  }

 private:
  std::mutex mutex_;
};

// Assembled by hand so "dir" leads each line (json objects print their keys sorted).
std::string DescribeFrame(bool toHelper, const ClientFrame& frame) {
  std::string line =
      std::string("{\"dir\":\"") + (toHelper ? "parent->helper" : "helper->parent") + "\",";
  if (frame.kind == kBinaryFrameKind) {
    line += "\"binary\":" + Compact({{"id", frame.binaryId}, {"bytes", frame.payload.size()}});
  } else {
    line += "\"frame\":" + Compact(frame.json);
  }
  return line + "}";
}

bool IsJsonOfType(const ClientFrame& frame, const char* type) {
  if (frame.kind != kJsonFrameKind || !frame.json.is_object()) return false;
  const auto found = frame.json.find("type");
  return found != frame.json.end() && found->is_string() && *found == type;
}

// Writes the picture announced in an observation's result; answers the file written.
std::optional<std::filesystem::path> SaveScreenshot(HelperClient& client, const json& result,
                                                    const std::filesystem::path& directory) {
  if (!result.contains("screenshot")) return std::nullopt;
  const std::string id = result["screenshot"]["binaryRequestId"];
  const auto index = client.WaitFor(
      [&id](const ClientFrame& frame) {
        return frame.kind == kBinaryFrameKind && frame.binaryId == id;
      },
      std::chrono::seconds(5));
  if (!index) return std::nullopt;
  const ClientFrame frame = client.Frames()[*index];
  const bool png = result["screenshot"]["mediaType"] == "image/png";
  std::string name = id;
  for (char& c : name) {
    if (c == ':' || c == '/' || c == '\\') c = '-';
  }
  std::filesystem::create_directories(directory);
  const std::filesystem::path path = directory / (name + (png ? ".png" : ".jpg"));
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(frame.payload.data()),
             static_cast<std::streamsize>(frame.payload.size()));
  if (!file) return std::nullopt;
  return path;
}

// The centre of the observed element with this name, as "X Y"; empty when there is none.
std::string CentreOf(const json& observation, const std::string& name) {
  for (const json& node : observation.value("targets", json::array())) {
    if (node.value("name", "") != name || !node.contains("bounds")) continue;
    const json& bounds = node["bounds"];
    const int x = bounds.value("x", 0) + bounds.value("width", 0) / 2;
    const int y = bounds.value("y", 0) + bounds.value("height", 0) / 2;
    return std::to_string(x) + " " + std::to_string(y);
  }
  return "";
}

// The name of the observed text element that starts with `prefix`; empty when there is none.
std::string TextStartingWith(const json& observation, const std::string& prefix) {
  for (const json& node : observation.value("targets", json::array())) {
    const std::string name = node.value("name", "");
    if (node.value("role", "") == "text" && name.rfind(prefix, 0) == 0) return name;
  }
  return "";
}

// Types a message and clicks "Send" as the user, then observes what the application shows.
bool PlayTheUser(HelperClient& client, const std::string& channelPath, const json& observation,
                 LinePrinter& printer) {
  const std::string send = CentreOf(observation, "Send");
  if (send.empty()) return false;
  UserChannel user = UserChannel::Connect(channelPath);
  const std::string message = "Hello from the played user";
  for (const std::string& command :
       std::vector<std::string>{"focus Message", "type " + message, "click " + send}) {
    const std::string answer = user.Command(command);
    printer.Print(Compact({{"user", command}, {"answer", answer}}));
    if (answer != "ok") return false;
  }
  const json seen = client.Request("observe", {{"scope", "foreground"}});
  const std::string status = TextStartingWith(seen.value("result", json::object()), "Sent: ");
  printer.Print(Compact({{"status", status}}));
  return status == "Sent: " + message;
}

// The node id of the observed element with this name; empty when there is none.
std::string IdOf(const json& observation, const std::string& name) {
  for (const json& node : observation.value("targets", json::array())) {
    if (node.value("name", "") == name) return node.value("id", "");
  }
  return "";
}

// An action's context filled from an observation, as a parent fills it.
json ContextOf(const json& seen, int sequence, const std::string& targetIdentity) {
  return json{{"leaseId", "demo"},
              {"sequence", sequence},
              {"deadline", seen.value("capturedAt", 0.0) + 10'000},
              {"observationId", seen.value("id", "")},
              {"expectedStateHash", seen.value("stateHash", "")},
              {"targetIdentity", targetIdentity},
              {"interaction", seen.value("interaction", json::object())}};
}

// The window's target identity, as a wait names it.
std::string WindowOf(const json& seen) {
  const json& window = seen.value("foreground", json::object());
  return window.value("appIdentity", "") + ":" + window.value("windowIdentity", "");
}

bool Succeeded(const json& reply) {
  return reply.value("result", json::object()).value("ok", false);
}

// Types a message into "Message" and clicks "Send" with "act", as a parent does, each action's
// context filled from a fresh observation; then observes what the application shows.
bool ActAsTheParent(HelperClient& client, LinePrinter& printer, int& sequence) {
  const std::string message = "Hello from the parent";
  for (const auto& [name, action] : std::vector<std::pair<std::string, json>>{
           {"Message", {{"kind", "type"}, {"text", message}}}, {"Send", {{"kind", "click"}}}}) {
    const json seen = client.Request("observe", {{"scope", "foreground"}}).value("result", json());
    const json context = ContextOf(seen, ++sequence, IdOf(seen, name));
    if (!Succeeded(client.Request("act", {{"action", action}, {"context", context}}))) {
      return false;
    }
  }
  const json seen = client.Request("observe", {{"scope", "foreground"}});
  const std::string status = TextStartingWith(seen.value("result", json::object()), "Sent: ");
  printer.Print(Compact({{"status", status}}));
  return status == "Sent: " + message;
}

// Brings "Settings" to the foreground, clicks its "Apply" and waits until it shows "Applied".
bool ActivateAndWait(HelperClient& client, LinePrinter& printer, int& sequence) {
  json seen = client.Request("observe", {{"scope", "foreground"}}).value("result", json());
  const json activate{{"kind", "activate_app"}, {"appIdentity", kSettingsIdentity}};
  const json activated = client.Request(
      "act", {{"action", activate}, {"context", ContextOf(seen, ++sequence, "app")}});
  if (!Succeeded(activated)) return false;
  seen = client.Request("observe", {{"scope", "foreground"}}).value("result", json());
  const json click{{"kind", "click"}};
  if (!Succeeded(client.Request(
          "act",
          {{"action", click}, {"context", ContextOf(seen, ++sequence, IdOf(seen, "Apply"))}}))) {
    return false;
  }
  const json wait{{"kind", "wait"},
                  {"timeoutMs", 3000},
                  {"assertion", {{"kind", "text_matches"}, {"pattern", "applied"}}}};
  const json waited = client.Request(
      "act", {{"action", wait}, {"context", ContextOf(seen, ++sequence, WindowOf(seen))}});
  printer.Print(Compact({{"settings", Succeeded(waited) ? "Applied" : "not applied"}}));
  return Succeeded(waited);
}

// Records the played user typing a message, sending it and typing a password, and prints each
// event; the password must be in none of them.
bool RecordTheUser(HelperClient& client, const std::string& channelPath, LinePrinter& printer) {
  const std::string password = "hunter2";
  if (!client.Request("record.start", {{"maxDurationSeconds", 30}}).value("ok", false))
    return false;
  const std::size_t from = client.FrameCount();
  UserChannel user = UserChannel::Connect(channelPath);
  for (const std::string& command :
       std::vector<std::string>{"activate Velmora Demo", "focus Message", "type hi", "press Enter",
                                "focus Password", "type " + password, "press Tab"}) {
    const std::string answer = user.Command(command);
    printer.Print(Compact({{"user", command}, {"answer", answer}}));
    if (answer != "ok") return false;
  }
  // The last key's event, then the stop: what the recording saw is all there.
  const auto tabbed = client.WaitFor(
      [](const ClientFrame& frame) {
        return IsJsonOfType(frame, "event") && frame.json["event"].value("key", "") == "Tab";
      },
      std::chrono::seconds(5), from);
  client.Request("record.stop");
  std::size_t events = 0;
  bool leaked = false;
  const std::vector<ClientFrame> frames = client.Frames();
  for (std::size_t i = from; i < frames.size(); ++i) {
    if (!IsJsonOfType(frames[i], "event") || !frames[i].json["event"].contains("kind")) continue;
    ++events;
    leaked = leaked || frames[i].json.dump().find(password) != std::string::npos;
  }
  printer.Print(Compact({{"recorded", events}, {"passwordLeaked", leaked}}));
  return tabbed.has_value() && events > 0 && !leaked;
}

int RunDemo(const std::string& helperPath, const std::filesystem::path& screenshotDirectory) {
  LinePrinter printer;
  const std::string channelPath = (std::filesystem::temp_directory_path() /
                                   ("velmora-demo-user-" + std::to_string(getpid()) + ".sock"))
                                      .string();
  HelperClient client(
      HelperProcess::Launch(helperPath, LaunchOptions{{}, {{"VELMORA_SIM_USER", channelPath}}}));
  client.SetObserver([&printer](bool toHelper, const ClientFrame& frame) {
    printer.Print(DescribeFrame(toHelper, frame));
  });

  bool allGood = true;
  std::vector<std::string> requestIds;
  try {
    client.Handshake();
    const auto heartbeat =
        client.WaitFor([](const ClientFrame& frame) { return IsJsonOfType(frame, "heartbeat"); },
                       std::chrono::seconds(3));
    if (!heartbeat) std::cerr << "computer-use-demo: no heartbeat within 3 s\n";

    const std::vector<std::pair<std::string, json>> script = {
        {"capabilities", json::object()},
        {"permissions", json::object()},
        {"observe", {{"scope", "foreground"}, {"allowVisual", true}}},
        {"observe",
         {{"scope", "application"}, {"appIdentity", kNotesIdentity}, {"purpose", "list_windows"}}},
        {"record.stop", json::object()},
        {"neutralize", {{"reason", "computer_use_action_finished"}}},
        {"no.such.method", json::object()},
        {"shutdown", json::object()},
    };
    bool played = false;
    for (const auto& [method, payload] : script) {
      requestIds.push_back(client.NewRequestId());
      const json response =
          client.Request(method, payload, std::chrono::seconds(10), requestIds.back());
      if (method != "observe" || !response.contains("result")) continue;
      if (!played) {
        played = true;
        if (!PlayTheUser(client, channelPath, response["result"], printer)) {
          std::cerr << "computer-use-demo: the played user's message was not sent\n";
          allGood = false;
        }
        int sequence = 0;
        if (!ActAsTheParent(client, printer, sequence)) {
          std::cerr << "computer-use-demo: the parent's message was not sent\n";
          allGood = false;
        }
        if (!ActivateAndWait(client, printer, sequence)) {
          std::cerr << "computer-use-demo: Settings was not activated and applied\n";
          allGood = false;
        }
        if (!RecordTheUser(client, channelPath, printer)) {
          std::cerr << "computer-use-demo: the recording missed the user or leaked the password\n";
          allGood = false;
        }
      }
      if (response["result"].contains("screenshot")) {
        const auto saved = SaveScreenshot(client, response["result"], screenshotDirectory);
        if (!saved) {
          std::cerr << "computer-use-demo: the announced screenshot did not arrive\n";
          allGood = false;
          continue;
        }
        printer.Print(Compact(
            {{"screenshot", saved->string()}, {"bytes", std::filesystem::file_size(*saved)}}));
      }
    }
  } catch (const std::exception& error) {
    std::cerr << "computer-use-demo: " << error.what() << "\n";
    allGood = false;
  }

  // End of input lets the helper go even when the script stopped early.
  client.Process().CloseInput();
  // Count once the output ended, so a late duplicate response is still caught.
  if (!client.WaitForEnd(std::chrono::seconds(10))) {
    std::cerr << "computer-use-demo: the helper output did not end\n";
  }
  std::map<std::string, int> responsesById;
  for (const ClientFrame& frame : client.Frames()) {
    if (!IsJsonOfType(frame, "response")) continue;
    const auto found = frame.json.find("requestId");
    if (found != frame.json.end() && found->is_string()) ++responsesById[found->get<std::string>()];
  }
  for (const std::string& id : requestIds) {
    if (responsesById[id] != 1) {
      std::cerr << "computer-use-demo: request " << id << " got " << responsesById[id]
                << " responses\n";
      allGood = false;
    }
  }
  if (const auto readerError = client.ReaderError()) {
    std::cerr << "computer-use-demo: malformed helper output: " << *readerError << "\n";
    allGood = false;
  }

  std::optional<int> exitCode = client.Process().WaitExit(std::chrono::seconds(10));
  if (!exitCode) {
    std::cerr << "computer-use-demo: the helper did not exit; killing it\n";
    client.Process().Kill(SIGKILL);
    exitCode = client.Process().WaitExit(std::chrono::seconds(5));
  }
  printer.Print(Compact({{"exit", exitCode ? json(*exitCode) : json(nullptr)}}));
  return allGood && exitCode == 0 ? 0 : 1;
}

}  // namespace
}  // namespace velmora::computer_use::client

int main(int argc, char** argv) {
  if (argc > 3) {
    std::cerr << "usage: computer-use-demo [path-to-helper [screenshot-directory]]\n";
    return 2;
  }
  const std::string helperPath =
      argc >= 2 ? argv[1] : velmora::computer_use::client::DefaultHelperPath();
  const std::filesystem::path screenshots = argc == 3 ? argv[2] : ".";
  try {
    return velmora::computer_use::client::RunDemo(helperPath, screenshots);
  } catch (const std::exception& error) {
    std::cerr << "computer-use-demo: " << error.what() << "\n";
    return 1;
  }
}
