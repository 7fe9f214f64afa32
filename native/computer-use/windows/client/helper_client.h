// Parent-side client for computer-use-helper: spawns the helper with piped stdin/stdout and
// speaks its framed protocol through a codec of its own (frame_codec.h), so the helper can be
// checked against an implementation that shares no code with it. The process back end is POSIX
// (posix_spawn, pipes) or Win32 (CreateProcessW, anonymous pipes) behind one interface.
#pragma once

#ifndef _WIN32
#include <sys/types.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "frame_codec.h"

namespace velmora::computer_use::client {

#ifdef _WIN32
using ProcessId = std::uint32_t;
#else
using ProcessId = pid_t;

// Owns one file descriptor and closes it exactly once.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release();
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};
#endif

// This process's id, as a handshake names the parent.
ProcessId CurrentProcessId();

struct LaunchOptions {
  std::vector<std::string> arguments;                            // after argv[0]
  std::vector<std::pair<std::string, std::string>> environment;  // added/overridden env vars
};

// A spawned helper whose stdin/stdout are pipes (stderr is inherited).
//
// POSIX, SIGPIPE: WriteBytes blocks SIGPIPE in the calling thread only for the duration of the
// write, and if the write failed with EPIPE it consumes the SIGPIPE that write raised
// (sigtimedwait with a zero timeout) before restoring the mask. The process-wide disposition is
// never changed, and the helper is started with an empty signal mask and SIGPIPE at its default
// action.
//
// Windows: the arguments are quoted for CommandLineToArgvW, UTF-8 throughout; only the helper's
// pipe ends are inherited, through an explicit handle list.
class HelperProcess {
  struct State;

 public:
  // Throws std::system_error when the pipes cannot be made or the executable cannot be started.
  static std::unique_ptr<HelperProcess> Launch(const std::string& executable,
                                               const LaunchOptions& options);
  explicit HelperProcess(std::unique_ptr<State> state);
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;
  ~HelperProcess();  // closes the pipes; a helper still running is killed and reaped

  ProcessId Pid() const;
  // Writes everything; false on a broken pipe, any other error, or after CloseInput.
  bool WriteBytes(const std::vector<std::uint8_t>& bytes);
  void CloseInput();  // end of the helper's input
  // Blocks for the helper's output: the bytes read, 0 at its end, or nullopt once StopReading
  // was called (before or during the read). Throws std::system_error when reading fails. One
  // reading thread at a time.
  std::optional<std::size_t> ReadOutput(std::uint8_t* buffer, std::size_t size);
  // Ends a ReadOutput blocked in another thread, and every later one; from any thread.
  void StopReading();
  // Exit code (POSIX: WEXITSTATUS, or 128+signal), or nullopt when still running at the timeout.
  // Once known, every later call returns the same status. POSIX: -1 if the child was reaped
  // behind our back (SIGCHLD ignored).
  std::optional<int> WaitExit(std::chrono::milliseconds timeout);
  // Ends it at once (SIGKILL; on Windows exit code 1); no-op once it has ended.
  void Terminate();
#ifndef _WIN32
  int OutputFd() const;
  void Kill(int signal);  // no-op once reaped, so a recycled pid is never hit
#endif

 private:
  std::unique_ptr<State> state_;
};

// With VELMORA_FRAME_LOG_DIR set, every JSON frame a client sends or receives goes to a file of
// its own there, so a test tier can check the traffic against the protocol's schemas.
class FrameLog;

// Owns a HelperProcess and a reader thread that decodes every frame the helper writes into an
// in-order log.
class HelperClient {
 public:
  explicit HelperClient(std::unique_ptr<HelperProcess> process);
  HelperClient(const HelperClient&) = delete;
  HelperClient& operator=(const HelperClient&) = delete;
  // Closes input, gives the helper 5 s to exit (then kills it), and joins the reader, which
  // stops at the end of the output or, when a descendant holds it open, after at most 1 s more.
  ~HelperClient();

  HelperProcess& Process() { return *process_; }

  // Called for every frame sent through Send (on the sending thread, before the bytes are
  // written, so a printed log reads in causal order) and every frame received (on the reader
  // thread, before waiters see it). Must not call back into this client's Send.
  using FrameObserver = std::function<void(bool toHelper, const ClientFrame&)>;
  void SetObserver(FrameObserver observer);  // before any traffic

  bool Send(const nlohmann::json& object);               // false when the write failed
  bool SendBytes(const std::vector<std::uint8_t>& raw);  // raw, no observer

  // Sends the handshake (default nonce MakeNonce(), default parentPid CurrentProcessId()) and
  // returns the handshake_ack received within 5 s; throws std::runtime_error if none.
  nlohmann::json Handshake(std::optional<std::string> nonce = {},
                           std::optional<std::uint32_t> parentPid = {});
  // Sends a request with a fresh id ("r1", "r2", ... unless given) and returns the response frame
  // with that id. A null payload omits the "payload" member. Throws std::runtime_error when the
  // write fails, the output ends, or the timeout passes without the response.
  nlohmann::json Request(const std::string& method,
                         const nlohmann::json& payload = nlohmann::json::object(),
                         std::chrono::milliseconds timeout = std::chrono::seconds(10),
                         std::optional<std::string> requestId = {});
  std::string NewRequestId();  // the id Request would pick next, consumed

  // Index of the first received frame at index >= fromIndex that matches, or nullopt at the
  // timeout or once the reader stopped with no match. `match` runs under the log lock.
  std::optional<std::size_t> WaitFor(const std::function<bool(const ClientFrame&)>& match,
                                     std::chrono::milliseconds timeout, std::size_t fromIndex = 0);
  // True once the helper's stdout reached EOF (also after a reader error, as the rest of the
  // stream is drained and discarded).
  bool WaitForEnd(std::chrono::milliseconds timeout);
  std::vector<ClientFrame> Frames() const;
  std::size_t FrameCount() const;
  // Set when the helper sent a malformed frame or the stream ended inside a frame.
  std::optional<std::string> ReaderError() const;

 private:
  void ReadLoop();
  void Notify(bool toHelper, const ClientFrame& frame);
  void FinishReading(std::optional<std::string> error, bool reachedEof);

  std::unique_ptr<HelperProcess> process_;
  // Null unless VELMORA_FRAME_LOG_DIR is set.
  std::unique_ptr<FrameLog> frameLog_;

  std::mutex sendMutex_;  // keeps observer order equal to wire order for sent frames
  std::atomic<std::uint64_t> nextRequestNumber_{1};

  mutable std::mutex observerMutex_;
  FrameObserver observer_;

  mutable std::mutex logMutex_;
  std::condition_variable logChanged_;
  std::vector<ClientFrame> frames_;
  std::optional<std::string> readerError_;
  bool readerDone_ = false;
  bool reachedEof_ = false;

  std::thread reader_;  // last: starts after every member it uses exists
};

#ifndef _WIN32
// The simulated user's channel of a Linux helper started with VELMORA_SIM_USER: one command
// line out, one answer line back.
class UserChannel {
 public:
  // Connects, retrying until the helper listens; throws std::runtime_error at the timeout.
  static UserChannel Connect(const std::string& path,
                             std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Sends the line (a newline is added) and answers the helper's answer line without its
  // newline; throws std::runtime_error when the connection fails or no answer comes in time.
  std::string Command(std::string_view line,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
  int Fd() const { return fd_.Get(); }

 private:
  explicit UserChannel(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
  std::string pending_;  // bytes after the last answer read
};

#endif

}  // namespace velmora::computer_use::client
