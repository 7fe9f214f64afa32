// One helper session driven by script lines: each line becomes requests, every frame both ways
// is printed as a JSON line, and each act's context is filled from the last observation.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>

#include "cli/script.h"
#include "helper_client.h"

namespace velmora::computer_use::cli {

// The helper refused or a check did not hold: the session itself is still usable.
class CommandFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SessionOptions {
  std::string helper;
  std::string screenshot;  // every observation asks for a picture and saves it here when set
  std::string annotate;    // and draws its elements over it here
  std::string scene;       // the simulated desktop's scene (Linux helper)
};

// An act's context as a parent fills it: the observation's id, state hash and interaction
// record, the lease's next sequence and a deadline `aheadMs` after `nowMs`.
nlohmann::json ActContext(const nlohmann::json& observation, std::int64_t sequence,
                          std::int64_t nowMs, std::int64_t aheadMs,
                          const std::string& targetIdentity);

// The id of the element `word` names in the observation: an id it lists, or the name of
// exactly one element with bounds. Throws ScriptError otherwise.
std::string ResolveTarget(const nlohmann::json& observation, const std::string& word);

class Session {
 public:
  // Starts the helper and shakes hands; throws std::exception when it cannot.
  Session(SessionOptions options, std::ostream& out);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();

  // Throws ScriptError for bad input, CommandFailed for a refusal, std::runtime_error when the
  // helper stopped answering.
  void Run(const ScriptLine& line);
  // Ends the helper's input and answers its exit code; throws when it does not end in time.
  int Finish();

 private:
  void Print(const std::string& line);
  nlohmann::json Call(const std::string& method, const nlohmann::json& payload,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
  const nlohmann::json& LastObservation() const;
  void Observe(const ScriptLine& line);
  void SaveVisual(const nlohmann::json& result, const std::string& screenshot,
                  const std::string& annotate);
  void Act(const nlohmann::json& action, const std::string& targetIdentity,
           std::chrono::milliseconds extra = {});
  void ActLine(const ScriptLine& line);
  void WaitLine(const ScriptLine& line);
  void RecordLine(const ScriptLine& line);
  void RequestLine(const ScriptLine& line);
  void UserLine(const ScriptLine& line);
  void ExpectLine(const ScriptLine& line);

  SessionOptions options_;
  std::mutex printMutex_;
  std::ostream& out_;
  std::string userSocket_;
  std::unique_ptr<client::HelperClient> client_;
  std::optional<nlohmann::json> last_;
  std::int64_t sequence_ = 0;
  std::size_t recordFrom_ = 0;  // received frames before the last recording started
#ifndef _WIN32
  std::optional<client::UserChannel> user_;
#endif
};

}  // namespace velmora::computer_use::cli
