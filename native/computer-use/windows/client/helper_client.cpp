#include "helper_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>
#include <system_error>
#include <variant>

namespace velmora::computer_use::client {
namespace {

using Clock = std::chrono::steady_clock;

void AppendBigEndian32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 24));
  out.push_back(static_cast<std::uint8_t>(value >> 16));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

std::uint32_t ReadBigEndian32(const std::uint8_t* bytes) {
  return (static_cast<std::uint32_t>(bytes[0]) << 24) |
         (static_cast<std::uint32_t>(bytes[1]) << 16) |
         (static_cast<std::uint32_t>(bytes[2]) << 8) | static_cast<std::uint32_t>(bytes[3]);
}

std::uint16_t ReadBigEndian16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

std::uint32_t FrameLengthOrThrow(std::size_t bodyBytes) {
  if (bodyBytes > std::numeric_limits<std::uint32_t>::max() - 1) {
    throw std::length_error("frame body does not fit a 32-bit length field");
  }
  return static_cast<std::uint32_t>(bodyBytes + 1);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const std::uint8_t* bytes, std::size_t size) {
  std::size_t index = 0;
  while (index < size) {
    const std::uint8_t lead = bytes[index];
    std::size_t continuationCount = 0;
    std::uint8_t minSecond = 0x80;
    std::uint8_t maxSecond = 0xBF;
    if (lead < 0x80) {
      ++index;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      continuationCount = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      continuationCount = 2;
      if (lead == 0xE0) minSecond = 0xA0;
      if (lead == 0xED) maxSecond = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      continuationCount = 3;
      if (lead == 0xF0) minSecond = 0x90;
      if (lead == 0xF4) maxSecond = 0x8F;
    } else {
      return false;
    }
    if (size - index - 1 < continuationCount) return false;
    for (std::size_t offset = 1; offset <= continuationCount; ++offset) {
      const std::uint8_t byte = bytes[index + offset];
      const std::uint8_t low = offset == 1 ? minSecond : std::uint8_t{0x80};
      const std::uint8_t high = offset == 1 ? maxSecond : std::uint8_t{0xBF};
      if (byte < low || byte > high) return false;
    }
    index += continuationCount + 1;
  }
  return true;
}

bool HasStringMember(const nlohmann::json& object, const char* key, std::string_view expected) {
  if (!object.is_object()) return false;
  const auto found = object.find(key);
  return found != object.end() && found->is_string() &&
         found->get_ref<const std::string&>() == expected;
}

std::string ErrnoText(int error) {
  return std::generic_category().message(error);
}

// Moves fds clear of 0..2 so dup2 onto stdin/stdout can neither be a no-op that keeps
// O_CLOEXEC nor clobber the other pipe end.
UniqueFd AboveStdio(UniqueFd fd) {
  if (fd.Get() > STDERR_FILENO) return fd;
  const int moved = fcntl(fd.Get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) throw std::system_error(errno, std::generic_category(), "fcntl(F_DUPFD_CLOEXEC)");
  return UniqueFd(moved);
}

std::pair<UniqueFd, UniqueFd> MakePipe(int extraFlags) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | extraFlags) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe2");
  }
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  return {AboveStdio(std::move(readEnd)), AboveStdio(std::move(writeEnd))};
}

class SpawnFileActions {
 public:
  SpawnFileActions() {
    if (const int error = posix_spawn_file_actions_init(&actions_); error != 0) {
      throw std::system_error(error, std::generic_category(), "posix_spawn_file_actions_init");
    }
  }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }

  void Dup2(int fd, int target) {
    if (const int error = posix_spawn_file_actions_adddup2(&actions_, fd, target); error != 0) {
      throw std::system_error(error, std::generic_category(), "posix_spawn_file_actions_adddup2");
    }
  }
  const posix_spawn_file_actions_t* Get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() {
    if (const int error = posix_spawnattr_init(&attributes_); error != 0) {
      throw std::system_error(error, std::generic_category(), "posix_spawnattr_init");
    }
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }

  // The helper starts from a clean signal state whatever the calling thread blocks or ignores.
  void ResetSignals() {
    sigset_t emptyMask;
    sigemptyset(&emptyMask);
    sigset_t defaulted;
    sigemptyset(&defaulted);
    sigaddset(&defaulted, SIGPIPE);
    Check(posix_spawnattr_setsigmask(&attributes_, &emptyMask), "posix_spawnattr_setsigmask");
    Check(posix_spawnattr_setsigdefault(&attributes_, &defaulted), "posix_spawnattr_setsigdefault");
    Check(posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF),
          "posix_spawnattr_setflags");
  }
  const posix_spawnattr_t* Get() const { return &attributes_; }

 private:
  static void Check(int error, const char* what) {
    if (error != 0) throw std::system_error(error, std::generic_category(), what);
  }
  posix_spawnattr_t attributes_;
};

std::vector<std::string> BuildEnvironment(
    const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('='));
    const bool overridden = std::any_of(overrides.begin(), overrides.end(),
                                        [&](const auto& item) { return item.first == name; });
    if (!overridden) entries.emplace_back(text);
  }
  for (const auto& [name, value] : overrides) entries.push_back(name + "=" + value);
  return entries;
}

std::vector<char*> PointerArray(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

UniqueFd OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  const long fd = syscall(SYS_pidfd_open, pid, 0);  // pidfds are always close-on-exec
  if (fd >= 0) return UniqueFd(static_cast<int>(fd));
#else
  (void)pid;
#endif
  return UniqueFd();
}

int StatusToExitCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int PollMilliseconds(Clock::duration remaining) {
  const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(remaining).count();
  return static_cast<int>(std::clamp<long long>(milliseconds, 0, INT_MAX));
}

// Blocks SIGPIPE in the calling thread for one write. A write to a pipe whose reader is gone
// raises a thread-directed SIGPIPE, which stays pending while blocked; ConsumeRaised takes it
// back out so it is not delivered once the old mask returns. Nothing process-wide changes.
class ScopedSigpipeBlock {
 public:
  ScopedSigpipeBlock() {
    sigemptyset(&sigpipeOnly_);
    sigaddset(&sigpipeOnly_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    alreadyPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &sigpipeOnly_, &previousMask_);
  }
  ScopedSigpipeBlock(const ScopedSigpipeBlock&) = delete;
  ScopedSigpipeBlock& operator=(const ScopedSigpipeBlock&) = delete;
  ~ScopedSigpipeBlock() { pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr); }

  void ConsumeRaised() {
    if (alreadyPending_) return;  // not ours to take
    const timespec noWait{};
    while (sigtimedwait(&sigpipeOnly_, nullptr, &noWait) < 0 && errno == EINTR) {
    }
  }

 private:
  sigset_t sigpipeOnly_;
  sigset_t previousMask_;
  bool alreadyPending_ = false;
};

// Parses one JSON text, rejecting what nlohmann would otherwise accept silently: a byte order
// mark and duplicate member names.
std::variant<nlohmann::json, std::string> ParseJsonText(const std::uint8_t* text,
                                                        std::size_t size) {
  if (size >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF) {
    return std::string("JSON text starts with a byte order mark");
  }
  struct Container {
    bool isObject;
    std::set<std::string> keys;
  };
  std::vector<Container> open;
  std::optional<std::string> duplicateKey;
  const auto track = [&](int, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
    using Event = nlohmann::json::parse_event_t;
    switch (event) {
      case Event::object_start:
      case Event::array_start:
        // Refused before it is built: nothing deeper is ever copied, printed or compared.
        if (open.size() >= kMaxJsonDepth) throw std::length_error("nested too deep");
        open.push_back({event == Event::object_start, {}});
        break;
      case Event::object_end:
      case Event::array_end:
        if (!open.empty()) open.pop_back();
        break;
      case Event::key:
        if (!open.empty() && open.back().isObject && parsed.is_string() &&
            !open.back().keys.insert(parsed.get<std::string>()).second && !duplicateKey) {
          duplicateKey = parsed.get<std::string>();
        }
        break;
      case Event::value:
        break;
    }
    return true;
  };
  const char* begin = reinterpret_cast<const char*>(text);
  nlohmann::json value;
  try {
    value = nlohmann::json::parse(begin, begin + size, track, /*allow_exceptions=*/true,
                                  /*ignore_comments=*/false);
  } catch (const nlohmann::json::exception& error) {
    return std::string("JSON text does not parse: ") + error.what();
  } catch (const std::length_error&) {
    return "JSON text nests deeper than " + std::to_string(kMaxJsonDepth) + " levels";
  }
  if (duplicateKey) return "JSON text repeats the member name \"" + *duplicateKey + "\"";
  if (!value.is_object()) {
    return std::string("JSON text must be an object, not ") + value.type_name();
  }
  return value;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Codec

std::vector<std::uint8_t> EncodeJsonFrame(const nlohmann::json& object) {
  const std::string text = object.dump();
  std::vector<std::uint8_t> frame;
  frame.reserve(kFrameHeaderBytes + 1 + text.size());
  AppendBigEndian32(frame, FrameLengthOrThrow(text.size()));
  frame.push_back(kJsonFrameKind);
  frame.insert(frame.end(), text.begin(), text.end());
  return frame;
}

std::vector<std::uint8_t> EncodeBinaryFrame(std::string_view id,
                                            const std::vector<std::uint8_t>& payload) {
  if (id.size() > std::numeric_limits<std::uint16_t>::max()) {
    throw std::length_error("binary frame id does not fit a 16-bit length field");
  }
  if (payload.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("binary payload does not fit a 32-bit length field");
  }
  const std::size_t bodyBytes = 2 + id.size() + payload.size();
  std::vector<std::uint8_t> frame;
  frame.reserve(kFrameHeaderBytes + 1 + bodyBytes);
  AppendBigEndian32(frame, FrameLengthOrThrow(bodyBytes));
  frame.push_back(kBinaryFrameKind);
  frame.push_back(static_cast<std::uint8_t>(id.size() >> 8));
  frame.push_back(static_cast<std::uint8_t>(id.size()));
  frame.insert(frame.end(), id.begin(), id.end());
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

std::vector<std::uint8_t> EncodeRawFrame(std::uint32_t length, std::uint8_t kind,
                                         std::string_view body) {
  std::vector<std::uint8_t> frame;
  frame.reserve(kFrameHeaderBytes + 1 + body.size());
  AppendBigEndian32(frame, length);
  frame.push_back(kind);
  frame.insert(frame.end(), body.begin(), body.end());
  return frame;
}

std::string Base64UrlUnpadded(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string text;
  text.reserve((bytes.size() * 4 + 2) / 3);
  std::size_t index = 0;
  for (; index + 3 <= bytes.size(); index += 3) {
    const std::uint32_t group = (std::uint32_t{bytes[index]} << 16) |
                                (std::uint32_t{bytes[index + 1]} << 8) | bytes[index + 2];
    text.push_back(kAlphabet[(group >> 18) & 0x3F]);
    text.push_back(kAlphabet[(group >> 12) & 0x3F]);
    text.push_back(kAlphabet[(group >> 6) & 0x3F]);
    text.push_back(kAlphabet[group & 0x3F]);
  }
  const std::size_t rest = bytes.size() - index;
  if (rest == 1) {
    const std::uint32_t group = std::uint32_t{bytes[index]} << 16;
    text.push_back(kAlphabet[(group >> 18) & 0x3F]);
    text.push_back(kAlphabet[(group >> 12) & 0x3F]);
  } else if (rest == 2) {
    const std::uint32_t group =
        (std::uint32_t{bytes[index]} << 16) | (std::uint32_t{bytes[index + 1]} << 8);
    text.push_back(kAlphabet[(group >> 18) & 0x3F]);
    text.push_back(kAlphabet[(group >> 12) & 0x3F]);
    text.push_back(kAlphabet[(group >> 6) & 0x3F]);
  }
  return text;
}

std::string MakeNonce() {
  std::random_device source;
  std::vector<std::uint8_t> bytes(32);
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(source());
  return Base64UrlUnpadded(bytes);
}

void FrameDecoder::Feed(const std::uint8_t* data, std::size_t size) {
  if (error_) return;
  // Drop consumed bytes once they dominate, keeping the copying amortised.
  if (consumed_ == buffer_.size()) {
    buffer_.clear();
    consumed_ = 0;
  } else if (consumed_ > 65536 && consumed_ * 2 > buffer_.size()) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
  }
  buffer_.insert(buffer_.end(), data, data + size);
}

std::optional<ClientFrame> FrameDecoder::Fail(std::string message) {
  // Parser messages may quote the offending bytes; keep the text printable ASCII.
  for (char& character : message) {
    const auto byte = static_cast<unsigned char>(character);
    if (byte < 0x20 || byte >= 0x7F) character = '?';
  }
  error_ = std::move(message);
  return std::nullopt;
}

std::optional<ClientFrame> FrameDecoder::Next() {
  if (error_) return std::nullopt;
  const std::size_t available = buffer_.size() - consumed_;
  if (available < kFrameHeaderBytes) return std::nullopt;
  const std::uint8_t* start = buffer_.data() + consumed_;
  const std::uint32_t length = ReadBigEndian32(start);
  // Limits are checked as soon as the header is in, so a bad length never makes us wait or buffer.
  if (length == 0) return Fail("frame length 0 leaves no room for the kind byte");
  if (length > kMaxFrameLength) {
    return Fail("frame length " + std::to_string(length) + " exceeds " +
                std::to_string(kMaxFrameLength));
  }
  if (available < kFrameHeaderBytes + 1) return std::nullopt;
  const std::uint8_t kind = start[kFrameHeaderBytes];
  const std::size_t bodyBytes = length - 1;
  if (kind == kJsonFrameKind) {
    if (bodyBytes > kMaxJsonTextBytes) {
      return Fail("JSON frame of " + std::to_string(bodyBytes) + " bytes exceeds " +
                  std::to_string(kMaxJsonTextBytes));
    }
  } else if (kind != kBinaryFrameKind) {
    return Fail("unknown frame kind " + std::to_string(kind));
  }
  if (available < kFrameHeaderBytes + length) return std::nullopt;
  const std::uint8_t* body = start + kFrameHeaderBytes + 1;
  consumed_ += kFrameHeaderBytes + length;

  ClientFrame frame{kind, nullptr, {}, {}};
  if (kind == kJsonFrameKind) {
    auto parsed = ParseJsonText(body, bodyBytes);
    if (auto* problem = std::get_if<std::string>(&parsed)) return Fail(std::move(*problem));
    frame.json = std::move(std::get<nlohmann::json>(parsed));
    return frame;
  }

  if (bodyBytes < 2) {
    return Fail("binary frame body of " + std::to_string(bodyBytes) +
                " bytes has no room for the id length");
  }
  const std::size_t idBytes = ReadBigEndian16(body);
  if (idBytes < kMinBinaryIdBytes || idBytes > kMaxBinaryIdBytes) {
    return Fail("binary frame id length " + std::to_string(idBytes) + " is outside 1..128");
  }
  if (bodyBytes < 2 + idBytes) {
    return Fail("binary frame id of " + std::to_string(idBytes) + " bytes runs past the frame");
  }
  const std::size_t payloadBytes = bodyBytes - 2 - idBytes;
  if (payloadBytes > kMaxBinaryPayloadBytes) {
    return Fail("binary payload of " + std::to_string(payloadBytes) + " bytes exceeds " +
                std::to_string(kMaxBinaryPayloadBytes));
  }
  if (!IsValidUtf8(body + 2, idBytes)) return Fail("binary frame id is not valid UTF-8");
  frame.binaryId.assign(reinterpret_cast<const char*>(body + 2), idBytes);
  frame.payload.assign(body + 2 + idBytes, body + bodyBytes);
  return frame;
}

// ---------------------------------------------------------------------------------------------
// UniqueFd

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int UniqueFd::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::Reset(int fd) {
  // No retry on EINTR: on Linux the descriptor is released even then.
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

// ---------------------------------------------------------------------------------------------
// HelperProcess

std::unique_ptr<HelperProcess> HelperProcess::Launch(const std::string& executable,
                                                     const LaunchOptions& options) {
  auto [helperStdin, parentInput] = MakePipe(0);
  auto [parentOutput, helperStdout] = MakePipe(0);

  SpawnFileActions actions;
  // dup2 clears O_CLOEXEC on the copies; every original closes at exec.
  actions.Dup2(helperStdin.Get(), STDIN_FILENO);
  actions.Dup2(helperStdout.Get(), STDOUT_FILENO);
  SpawnAttributes attributes;
  attributes.ResetSignals();

  std::vector<std::string> argumentStrings;
  argumentStrings.reserve(options.arguments.size() + 1);
  argumentStrings.push_back(executable);
  argumentStrings.insert(argumentStrings.end(), options.arguments.begin(), options.arguments.end());
  std::vector<std::string> environmentStrings = BuildEnvironment(options.environment);
  std::vector<char*> argv = PointerArray(argumentStrings);
  std::vector<char*> envp = PointerArray(environmentStrings);

  pid_t pid = -1;
  // glibc reports exec failures (e.g. ENOENT) from posix_spawn itself.
  if (const int error = posix_spawn(&pid, executable.c_str(), actions.Get(), attributes.Get(),
                                    argv.data(), envp.data());
      error != 0) {
    throw std::system_error(error, std::generic_category(), "posix_spawn " + executable);
  }
  // Our copies of the helper's ends must go, or its stdin never sees EOF and our reads never end.
  helperStdin.Reset();
  helperStdout.Reset();
  UniqueFd pidFd = OpenPidFd(pid);
  return std::make_unique<HelperProcess>(ConstructionKey{}, pid, std::move(parentInput),
                                         std::move(parentOutput), std::move(pidFd));
}

HelperProcess::HelperProcess(ConstructionKey, pid_t pid, UniqueFd input, UniqueFd output,
                             UniqueFd pidFd)
    : pid_(pid), output_(std::move(output)), pidFd_(std::move(pidFd)), input_(std::move(input)) {}

HelperProcess::~HelperProcess() {
  {
    std::lock_guard lock(inputMutex_);
    input_.Reset();
  }
  output_.Reset();
  std::lock_guard lock(stateMutex_);
  if (TryReapLocked()) return;
  kill(pid_, SIGKILL);
  int status = 0;
  pid_t reaped = -1;
  do {
    reaped = waitpid(pid_, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  exitStatus_ = reaped == pid_ ? StatusToExitCode(status) : -1;
}

bool HelperProcess::WriteBytes(const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(inputMutex_);
  if (!input_.Valid()) return false;
  ScopedSigpipeBlock sigpipeBlock;
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t result = write(input_.Get(), bytes.data() + written, bytes.size() - written);
    if (result < 0) {
      if (errno == EINTR) continue;
      if (errno == EPIPE) sigpipeBlock.ConsumeRaised();
      return false;
    }
    written += static_cast<std::size_t>(result);
  }
  return true;
}

void HelperProcess::CloseInput() {
  std::lock_guard lock(inputMutex_);
  input_.Reset();
}

bool HelperProcess::TryReapLocked() {
  if (exitStatus_) return true;
  int status = 0;
  pid_t reaped = -1;
  do {
    reaped = waitpid(pid_, &status, WNOHANG);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == pid_) {
    exitStatus_ = StatusToExitCode(status);
    return true;
  }
  if (reaped < 0 && errno == ECHILD) {
    exitStatus_ = -1;  // reaped elsewhere (SIGCHLD ignored): the status is lost
    return true;
  }
  return false;
}

std::optional<int> HelperProcess::WaitExit(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    {
      std::lock_guard lock(stateMutex_);
      if (TryReapLocked()) return exitStatus_;
    }
    const auto remaining = deadline - Clock::now();
    if (remaining <= Clock::duration::zero()) return std::nullopt;
    if (pidFd_.Valid()) {
      pollfd exitWatch{pidFd_.Get(), POLLIN, 0};
      poll(&exitWatch, 1, PollMilliseconds(remaining));  // EINTR just re-checks
    } else {
      std::this_thread::sleep_for(
          std::min<Clock::duration>(remaining, std::chrono::milliseconds(5)));
    }
  }
}

void HelperProcess::Kill(int signal) {
  std::lock_guard lock(stateMutex_);
  // While unreaped, the pid cannot have been recycled.
  if (!TryReapLocked()) kill(pid_, signal);
}

// ---------------------------------------------------------------------------------------------
// FrameLog

class FrameLog {
 public:
  // Null when VELMORA_FRAME_LOG_DIR is unset; throws when the file cannot be made, so a schema
  // check never passes on traffic it did not see.
  static std::unique_ptr<FrameLog> FromEnvironment() {
    const char* directory = std::getenv("VELMORA_FRAME_LOG_DIR");
    if (directory == nullptr || *directory == '\0') return nullptr;
    static std::atomic<unsigned> nextNumber{1};
    const std::string path = std::string(directory) + "/frames-" + std::to_string(getpid()) + "-" +
                             std::to_string(nextNumber++) + ".jsonl";
    auto log = std::make_unique<FrameLog>();
    log->out_.open(path, std::ios::out | std::ios::trunc);
    if (!log->out_) throw std::runtime_error("cannot write the frame log " + path);
    return log;
  }

  void Write(bool toHelper, const ClientFrame& frame) {
    nlohmann::json line = {{"toHelper", toHelper}};
    if (frame.kind == kJsonFrameKind) {
      line["frame"] = frame.json;
    } else {
      line["binary"] = frame.binaryId;
      line["bytes"] = frame.payload.size();
    }
    std::lock_guard lock(mutex_);
    out_ << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n'
         << std::flush;
  }

  // Raw bytes are not decoded; the marker tells the checker that answers to them may follow.
  void WriteRaw(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    out_ << nlohmann::json{{"toHelper", true}, {"raw", bytes}}.dump() << '\n' << std::flush;
  }

 private:
  std::mutex mutex_;  // the sending threads and the reader write lines
  std::ofstream out_;
};

// ---------------------------------------------------------------------------------------------
// HelperClient

HelperClient::HelperClient(std::unique_ptr<HelperProcess> process) : process_(std::move(process)) {
  if (!process_) throw std::invalid_argument("HelperClient needs a process");
  frameLog_ = FrameLog::FromEnvironment();
  auto [stopRead, stopWrite] = MakePipe(O_NONBLOCK);
  stopReadEnd_ = std::move(stopRead);
  stopWriteEnd_ = std::move(stopWrite);
  reader_ = std::thread(&HelperClient::ReadLoop, this);
}

HelperClient::~HelperClient() {
  process_->CloseInput();
  if (!process_->WaitExit(std::chrono::seconds(5))) {
    process_->Kill(SIGKILL);
    process_->WaitExit(std::chrono::seconds(5));
  }
  // The output normally ends with the helper; a descendant that inherited it could keep it open.
  WaitForEnd(std::chrono::seconds(1));
  const char stopByte = 1;
  if (write(stopWriteEnd_.Get(), &stopByte, 1) < 0) {
    // Only fails if the pipe is full, which means a stop byte is already there.
  }
  if (reader_.joinable()) reader_.join();
}

void HelperClient::SetObserver(FrameObserver observer) {
  std::lock_guard lock(observerMutex_);
  observer_ = std::move(observer);
}

void HelperClient::Notify(bool toHelper, const ClientFrame& frame) {
  FrameObserver observer;
  {
    std::lock_guard lock(observerMutex_);
    observer = observer_;
  }
  if (observer) observer(toHelper, frame);
  if (frameLog_) frameLog_->Write(toHelper, frame);
}

bool HelperClient::Send(const nlohmann::json& object) {
  const std::vector<std::uint8_t> bytes = EncodeJsonFrame(object);
  const ClientFrame frame{kJsonFrameKind, object, {}, {}};
  std::lock_guard lock(sendMutex_);
  Notify(true, frame);
  return process_->WriteBytes(bytes);
}

bool HelperClient::SendBytes(const std::vector<std::uint8_t>& raw) {
  std::lock_guard lock(sendMutex_);
  if (frameLog_) frameLog_->WriteRaw(raw.size());
  return process_->WriteBytes(raw);
}

nlohmann::json HelperClient::Handshake(std::optional<std::string> nonce,
                                       std::optional<std::uint32_t> parentPid) {
  const nlohmann::json handshake = {
      {"type", "handshake"},
      {"protocolVersion", 1},
      {"nonce", nonce ? *nonce : MakeNonce()},
      {"parentPid", parentPid ? *parentPid : static_cast<std::uint32_t>(getpid())},
  };
  const std::size_t fromIndex = FrameCount();
  if (!Send(handshake)) throw std::runtime_error("could not write the handshake to the helper");
  const auto index = WaitFor(
      [](const ClientFrame& frame) {
        return frame.kind == kJsonFrameKind && HasStringMember(frame.json, "type", "handshake_ack");
      },
      std::chrono::seconds(5), fromIndex);
  if (!index)
    throw std::runtime_error(
        "no handshake_ack from the helper within 5 s or before its output ended");
  std::lock_guard lock(logMutex_);
  return frames_[*index].json;
}

std::string HelperClient::NewRequestId() {
  return "r" + std::to_string(nextRequestNumber_++);
}

nlohmann::json HelperClient::Request(const std::string& method, const nlohmann::json& payload,
                                     std::chrono::milliseconds timeout,
                                     std::optional<std::string> requestId) {
  const std::string id = requestId ? *requestId : NewRequestId();
  nlohmann::json request = {{"type", "request"}, {"requestId", id}, {"method", method}};
  if (!payload.is_null()) request["payload"] = payload;
  const std::size_t fromIndex = FrameCount();
  if (!Send(request)) {
    throw std::runtime_error("could not write request " + id + " (" + method + ") to the helper");
  }
  const auto index = WaitFor(
      [&id](const ClientFrame& frame) {
        return frame.kind == kJsonFrameKind && HasStringMember(frame.json, "type", "response") &&
               HasStringMember(frame.json, "requestId", id);
      },
      timeout, fromIndex);
  if (!index) {
    throw std::runtime_error("no response to request " + id + " (" + method + ") within " +
                             std::to_string(timeout.count()) + " ms or before the output ended");
  }
  std::lock_guard lock(logMutex_);
  return frames_[*index].json;
}

std::optional<std::size_t> HelperClient::WaitFor(
    const std::function<bool(const ClientFrame&)>& match, std::chrono::milliseconds timeout,
    std::size_t fromIndex) {
  const auto deadline = Clock::now() + timeout;
  std::unique_lock lock(logMutex_);
  std::size_t next = fromIndex;
  while (true) {
    for (; next < frames_.size(); ++next) {
      if (match(frames_[next])) return next;
    }
    // After an error or the end no frame can arrive any more.
    if (readerDone_ || readerError_) return std::nullopt;
    if (Clock::now() >= deadline) return std::nullopt;
    logChanged_.wait_until(lock, deadline);
  }
}

bool HelperClient::WaitForEnd(std::chrono::milliseconds timeout) {
  std::unique_lock lock(logMutex_);
  logChanged_.wait_for(lock, timeout, [this] { return readerDone_; });
  return reachedEof_;
}

std::vector<ClientFrame> HelperClient::Frames() const {
  std::lock_guard lock(logMutex_);
  return frames_;
}

std::size_t HelperClient::FrameCount() const {
  std::lock_guard lock(logMutex_);
  return frames_.size();
}

std::optional<std::string> HelperClient::ReaderError() const {
  std::lock_guard lock(logMutex_);
  return readerError_;
}

void HelperClient::FinishReading(std::optional<std::string> error, bool reachedEof) {
  std::lock_guard lock(logMutex_);
  if (error && !readerError_) readerError_ = std::move(error);
  readerDone_ = true;
  reachedEof_ = reachedEof;
  logChanged_.notify_all();
}

void HelperClient::ReadLoop() {
  FrameDecoder decoder;
  std::vector<std::uint8_t> chunk(65536);
  // After a violation the rest of the stream is drained unparsed so the helper never blocks on a
  // full pipe and the end of its output is still seen.
  bool discarding = false;
  try {
    while (true) {
      pollfd watched[2] = {{process_->OutputFd(), POLLIN, 0}, {stopReadEnd_.Get(), POLLIN, 0}};
      if (poll(watched, 2, -1) < 0) {
        if (errno == EINTR) continue;
        FinishReading("poll on the helper output failed: " + ErrnoText(errno), false);
        return;
      }
      if (watched[1].revents != 0) {
        FinishReading(std::nullopt, false);
        return;
      }
      if ((watched[0].revents & POLLNVAL) != 0) {
        FinishReading("the helper output descriptor is not open", false);
        return;
      }
      const ssize_t received = read(process_->OutputFd(), chunk.data(), chunk.size());
      if (received < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        FinishReading("reading the helper output failed: " + ErrnoText(errno), false);
        return;
      }
      if (received == 0) {
        std::optional<std::string> truncated;
        if (!discarding && decoder.PendingBytes() > 0) {
          truncated = "the helper output ended inside a frame (" +
                      std::to_string(decoder.PendingBytes()) + " bytes pending)";
        }
        FinishReading(std::move(truncated), true);
        return;
      }
      if (discarding) continue;
      decoder.Feed(chunk.data(), static_cast<std::size_t>(received));
      while (auto frame = decoder.Next()) {
        Notify(false, *frame);
        std::lock_guard lock(logMutex_);
        frames_.push_back(std::move(*frame));
        logChanged_.notify_all();
      }
      if (decoder.Error()) {
        std::lock_guard lock(logMutex_);
        readerError_ = *decoder.Error();
        logChanged_.notify_all();
        discarding = true;
      }
    }
  } catch (const std::exception& error) {
    FinishReading(std::string("reader stopped: ") + error.what(), false);
  }
}

UserChannel UserChannel::Connect(const std::string& path, std::chrono::milliseconds timeout) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
  std::memcpy(address.sun_path, path.data(), path.size());
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) throw std::system_error(errno, std::generic_category(), "socket");
    if (connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      return UserChannel(std::move(fd));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      throw std::runtime_error("the simulated user's channel did not open: " + path);
    }
    // The helper makes the socket while it starts; poll the connection without busy-waiting.
    poll(nullptr, 0, 10);
  }
}

std::string UserChannel::Command(std::string_view line, std::chrono::milliseconds timeout) {
  std::string out(line);
  out.push_back('\n');
  for (std::size_t sent = 0; sent < out.size();) {
    const ssize_t written = send(fd_.Get(), out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) throw std::runtime_error("the simulated user's channel broke");
    sent += static_cast<std::size_t>(written);
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string answer = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return answer;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd readable{fd_.Get(), POLLIN, 0};
    if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
      throw std::runtime_error("no answer on the simulated user's channel");
    }
    char buffer[4096];
    const ssize_t received = recv(fd_.Get(), buffer, sizeof buffer, 0);
    if (received < 0 && errno == EINTR) continue;
    if (received <= 0) throw std::runtime_error("the simulated user's channel closed");
    pending_.append(buffer, static_cast<std::size_t>(received));
  }
}

}  // namespace velmora::computer_use::client
