// Parent-side client for computer-use-helper: spawns the helper with piped stdin/stdout and
// speaks its framed protocol through a codec of its own, so the helper can be checked against an
// implementation that shares no code with it.
#pragma once

#include <sys/types.h>

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

namespace velmora::computer_use::client {

inline constexpr std::uint8_t kJsonFrameKind = 1;
inline constexpr std::uint8_t kBinaryFrameKind = 2;
inline constexpr std::size_t kFrameHeaderBytes = 4;
inline constexpr std::size_t kMaxJsonTextBytes = 1'048'576;
inline constexpr std::size_t kMaxBinaryPayloadBytes = 4'194'304;
inline constexpr std::size_t kMinBinaryIdBytes = 1;
inline constexpr std::size_t kMaxBinaryIdBytes = 128;
// Arrays and objects nest at most this deep in a frame, its own object counting as one.
inline constexpr std::size_t kMaxJsonDepth = 128;
// Kind byte + 2-byte id length + longest id + largest payload.
inline constexpr std::uint32_t kMaxFrameLength = 1 + 2 + kMaxBinaryIdBytes + kMaxBinaryPayloadBytes;

struct ClientFrame {
  std::uint8_t kind;
  nlohmann::json json;                // kind 1 only
  std::string binaryId;               // kind 2 only
  std::vector<std::uint8_t> payload;  // kind 2 only
};

// The encoders write whatever they are given, including frames over the protocol limits (so
// tests can send oversized frames); they throw std::length_error only when a value cannot be
// represented in the length fields at all.
std::vector<std::uint8_t> EncodeJsonFrame(const nlohmann::json& object);  // compact dump
std::vector<std::uint8_t> EncodeBinaryFrame(std::string_view id,
                                            const std::vector<std::uint8_t>& payload);
// Writes `length` verbatim (big-endian), then `kind`, then `body`: for malformed-frame tests.
std::vector<std::uint8_t> EncodeRawFrame(std::uint32_t length, std::uint8_t kind,
                                         std::string_view body);
// 32 bytes from std::random_device as unpadded base64url: 43 characters of A-Za-z0-9-_.
std::string MakeNonce();
std::string Base64UrlUnpadded(const std::vector<std::uint8_t>& bytes);

// Incremental, strict decoder of the helper's output stream. Feed bytes as they arrive and pull
// complete frames; the first violation of the codec rules is kept in Error() and ends decoding.
class FrameDecoder {
 public:
  void Feed(const std::uint8_t* data, std::size_t size);
  // The next complete frame, or nullopt when more bytes are needed or after an error.
  std::optional<ClientFrame> Next();
  const std::optional<std::string>& Error() const { return error_; }
  // Bytes received but not yet part of a complete frame.
  std::size_t PendingBytes() const { return buffer_.size() - consumed_; }

 private:
  std::optional<ClientFrame> Fail(std::string message);

  std::vector<std::uint8_t> buffer_;
  std::size_t consumed_ = 0;
  std::optional<std::string> error_;
};

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

struct LaunchOptions {
  std::vector<std::string> arguments;                            // after argv[0]
  std::vector<std::pair<std::string, std::string>> environment;  // added/overridden env vars
};

// A spawned helper whose stdin/stdout are pipes (stderr is inherited).
//
// SIGPIPE: WriteBytes blocks SIGPIPE in the calling thread only for the duration of the write,
// and if the write failed with EPIPE it consumes the SIGPIPE that write raised (sigtimedwait with
// a zero timeout) before restoring the mask. The process-wide disposition is never changed, and
// the helper is started with an empty signal mask and SIGPIPE at its default action.
class HelperProcess {
  struct ConstructionKey {};

 public:
  // Throws std::system_error when the pipes cannot be made or the executable cannot be started.
  static std::unique_ptr<HelperProcess> Launch(const std::string& executable,
                                               const LaunchOptions& options);
  HelperProcess(ConstructionKey, pid_t pid, UniqueFd input, UniqueFd output, UniqueFd pidFd);
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;
  ~HelperProcess();  // closes the pipes; a helper still running is SIGKILLed and reaped

  pid_t Pid() const { return pid_; }
  // Writes everything; false on EPIPE, any other error, or after CloseInput.
  bool WriteBytes(const std::vector<std::uint8_t>& bytes);
  void CloseInput();  // end of the helper's input
  int OutputFd() const { return output_.Get(); }
  // Exit code (WEXITSTATUS, or 128+signal), or nullopt when still running at the timeout. Once
  // reaped, every later call returns the same status. -1 if the child was reaped behind our back
  // (SIGCHLD ignored).
  std::optional<int> WaitExit(std::chrono::milliseconds timeout);
  void Kill(int signal);  // no-op once reaped, so a recycled pid is never hit

 private:
  // Non-blocking reap under stateMutex_; true once the exit status is known.
  bool TryReapLocked();

  const pid_t pid_;
  UniqueFd output_;
  UniqueFd pidFd_;  // invalid when pidfd_open is unavailable; WaitExit then polls every 5 ms

  std::mutex inputMutex_;  // serialises writes and CloseInput
  UniqueFd input_;

  std::mutex stateMutex_;
  std::optional<int> exitStatus_;
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
  // Closes input, gives the helper 5 s to exit (then SIGKILL), and joins the reader.
  ~HelperClient();

  HelperProcess& Process() { return *process_; }

  // Called for every frame sent through Send (on the sending thread, before the bytes are
  // written, so a printed log reads in causal order) and every frame received (on the reader
  // thread, before waiters see it). Must not call back into this client's Send.
  using FrameObserver = std::function<void(bool toHelper, const ClientFrame&)>;
  void SetObserver(FrameObserver observer);  // before any traffic

  bool Send(const nlohmann::json& object);               // false when the write failed
  bool SendBytes(const std::vector<std::uint8_t>& raw);  // raw, no observer

  // Sends the handshake (default nonce MakeNonce(), default parentPid getpid()) and returns the
  // handshake_ack received within 5 s; throws std::runtime_error if none.
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
  UniqueFd stopReadEnd_;   // reader polls it next to the helper output
  UniqueFd stopWriteEnd_;  // written once by the destructor to stop the reader

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

}  // namespace velmora::computer_use::client
