// The simulated user's channel: a Unix stream socket, for its owner only, on which another
// process writes one command per line and reads one answer line per command. Commands run one
// at a time on the server's thread; each answer is written once the command has been delivered.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/sim/sim_process.h"

namespace velmora::computer_use::platform::sim {

// Lines longer than this end their connection with an error.
inline constexpr std::size_t kMaxUserCommandBytes = 4096;
// Connections beyond this are answered with an error and closed.
inline constexpr std::size_t kMaxUserConnections = 16;

class SimUserServer {
 public:
  // Runs one command line and answers "ok" or "error ..." without the newline.
  using Executor = std::function<std::string(std::string_view line)>;

  SimUserServer() = default;
  SimUserServer(const SimUserServer&) = delete;
  SimUserServer& operator=(const SimUserServer&) = delete;
  ~SimUserServer() { Stop(); }

  // Listens at `path` (a stale socket there is replaced; any other file is left alone and the
  // start fails). False when the socket cannot be made.
  bool Start(const std::string& path, Executor executor);
  // Closes every connection and removes the socket.
  void Stop();

 private:
  void Serve();

  Executor executor_;
  std::string path_;
  UniqueFd listener_;
  UniqueFd wake_;
  std::thread thread_;
};

}  // namespace velmora::computer_use::platform::sim
