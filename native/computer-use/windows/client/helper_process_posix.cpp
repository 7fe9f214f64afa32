// The POSIX back end of HelperProcess: posix_spawn with pipes on stdin/stdout, a pidfd to wait on.
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
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "helper_client.h"

namespace velmora::computer_use::client {
namespace {

using Clock = std::chrono::steady_clock;

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
  for (const auto& [name, value] : overrides)
    entries.push_back(std::string(name).append("=").append(value));
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

}  // namespace

ProcessId CurrentProcessId() {
  return getpid();
}

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

struct HelperProcess::State {
  // Non-blocking reap under stateMutex; true once the exit status is known.
  bool TryReapLocked();

  pid_t pid = -1;
  UniqueFd output;
  UniqueFd pidFd;         // invalid when pidfd_open is unavailable; WaitExit then polls every 5 ms
  UniqueFd stopReadEnd;   // polled next to the output
  UniqueFd stopWriteEnd;  // written by StopReading

  std::mutex inputMutex;  // serialises writes and CloseInput
  UniqueFd input;

  std::mutex stateMutex;
  std::optional<int> exitStatus;
};

std::unique_ptr<HelperProcess> HelperProcess::Launch(const std::string& executable,
                                                     const LaunchOptions& options) {
  auto [helperStdin, parentInput] = MakePipe(0);
  auto [parentOutput, helperStdout] = MakePipe(0);
  auto [stopRead, stopWrite] = MakePipe(O_NONBLOCK);

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
  auto state = std::make_unique<State>();
  state->pid = pid;
  state->output = std::move(parentOutput);
  state->pidFd = OpenPidFd(pid);
  state->stopReadEnd = std::move(stopRead);
  state->stopWriteEnd = std::move(stopWrite);
  state->input = std::move(parentInput);
  return std::make_unique<HelperProcess>(std::move(state));
}

HelperProcess::HelperProcess(std::unique_ptr<State> state) : state_(std::move(state)) {}

HelperProcess::~HelperProcess() {
  CloseInput();
  state_->output.Reset();
  std::lock_guard lock(state_->stateMutex);
  if (state_->TryReapLocked()) return;
  kill(state_->pid, SIGKILL);
  int status = 0;
  pid_t reaped = -1;
  do {
    reaped = waitpid(state_->pid, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  state_->exitStatus = reaped == state_->pid ? StatusToExitCode(status) : -1;
}

ProcessId HelperProcess::Pid() const {
  return state_->pid;
}

int HelperProcess::OutputFd() const {
  return state_->output.Get();
}

bool HelperProcess::WriteBytes(const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(state_->inputMutex);
  if (!state_->input.Valid()) return false;
  ScopedSigpipeBlock sigpipeBlock;
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t result =
        write(state_->input.Get(), bytes.data() + written, bytes.size() - written);
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
  std::lock_guard lock(state_->inputMutex);
  state_->input.Reset();
}

std::optional<std::size_t> HelperProcess::ReadOutput(std::uint8_t* buffer, std::size_t size) {
  while (true) {
    pollfd watched[2] = {{state_->output.Get(), POLLIN, 0}, {state_->stopReadEnd.Get(), POLLIN, 0}};
    if (poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "poll on the helper output");
    }
    if (watched[1].revents != 0) return std::nullopt;
    if ((watched[0].revents & POLLNVAL) != 0) {
      throw std::system_error(EBADF, std::generic_category(), "the helper output");
    }
    const ssize_t received = read(state_->output.Get(), buffer, size);
    if (received >= 0) return static_cast<std::size_t>(received);
    if (errno != EINTR && errno != EAGAIN) {
      throw std::system_error(errno, std::generic_category(), "reading the helper output");
    }
  }
}

void HelperProcess::StopReading() {
  const char stopByte = 1;
  if (write(state_->stopWriteEnd.Get(), &stopByte, 1) < 0) {
    // Only fails if the pipe is full, which means a stop byte is already there.
  }
}

bool HelperProcess::State::TryReapLocked() {
  if (exitStatus) return true;
  int status = 0;
  pid_t reaped = -1;
  do {
    reaped = waitpid(pid, &status, WNOHANG);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == pid) {
    exitStatus = StatusToExitCode(status);
    return true;
  }
  if (reaped < 0 && errno == ECHILD) {
    exitStatus = -1;  // reaped elsewhere (SIGCHLD ignored): the status is lost
    return true;
  }
  return false;
}

std::optional<int> HelperProcess::WaitExit(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    {
      std::lock_guard lock(state_->stateMutex);
      if (state_->TryReapLocked()) return state_->exitStatus;
    }
    const auto remaining = deadline - Clock::now();
    if (remaining <= Clock::duration::zero()) return std::nullopt;
    if (state_->pidFd.Valid()) {
      pollfd exitWatch{state_->pidFd.Get(), POLLIN, 0};
      poll(&exitWatch, 1, PollMilliseconds(remaining));  // EINTR just re-checks
    } else {
      std::this_thread::sleep_for(
          std::min<Clock::duration>(remaining, std::chrono::milliseconds(5)));
    }
  }
}

void HelperProcess::Kill(int signal) {
  std::lock_guard lock(state_->stateMutex);
  // While unreaped, the pid cannot have been recycled.
  if (!state_->TryReapLocked()) kill(state_->pid, signal);
}

void HelperProcess::Terminate() {
  Kill(SIGKILL);
}

// ---------------------------------------------------------------------------------------------
// UserChannel

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
