#include "platform/sim/sim_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>

#include "protocol/json.h"

namespace velmora::computer_use::platform::sim {
namespace {

class PidfdProcess final : public ProcessHandle {
 public:
  PidfdProcess(ProcessId processId, UniqueFd fd) : processId_(processId), fd_(std::move(fd)) {}
  ProcessId Id() const { return processId_; }
  int Fd() const { return fd_.Get(); }

 private:
  ProcessId processId_;
  UniqueFd fd_;
};

class EventFdEvent final : public ManualResetEvent {
 public:
  explicit EventFdEvent(UniqueFd fd) : fd_(std::move(fd)) {}
  // Never read back, so it stays signalled: a manual-reset event.
  void Set() override {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(fd_.Get(), &one, sizeof one);
  }
  int Fd() const { return fd_.Get(); }

 private:
  UniqueFd fd_;
};

std::optional<std::u16string> ReadLink(const std::string& path) {
  std::string target(4096, '\0');
  const ssize_t length = readlink(path.c_str(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return std::nullopt;
  target.resize(static_cast<std::size_t>(length));
  try {
    return Utf8ToUtf16(target);
  } catch (const std::invalid_argument&) {
    return std::nullopt;
  }
}

std::optional<ProcessId> ReadParentId(ProcessId processId) {
  const std::string path = "/proc/" + std::to_string(processId) + "/stat";
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return std::nullopt;
  std::array<char, 1024> buffer{};
  const ssize_t length = read(fd.Get(), buffer.data(), buffer.size() - 1);
  if (length <= 0) return std::nullopt;
  const std::string_view stat(buffer.data(), static_cast<std::size_t>(length));
  // "pid (comm) state ppid ...": the name may hold spaces and parentheses.
  const std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos || close + 4 >= stat.size()) return std::nullopt;
  const std::string_view rest = stat.substr(close + 4);
  ProcessId parent = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), parent);
  if (error != std::errc()) return std::nullopt;
  return parent;
}

}  // namespace

void FdTraits::Close(int fd) {
  close(fd);
}

IoResult FdInputStream::Read(std::uint8_t* buffer, std::size_t count) {
  for (;;) {
    const ssize_t n = read(fd_, buffer, count);
    if (n >= 0) return {IoStatus::kOk, static_cast<std::size_t>(n)};
    if (errno == EINTR) continue;
    return {IoStatus::kFailed, 0};
  }
}

IoResult FdOutputStream::Write(const std::uint8_t* buffer, std::size_t count) {
  for (;;) {
    const ssize_t n = write(fd_, buffer, count);
    if (n >= 0) return {IoStatus::kOk, static_cast<std::size_t>(n)};
    if (errno == EINTR) continue;
    return {errno == EPIPE ? IoStatus::kBrokenPipe : IoStatus::kFailed, 0};
  }
}

ProcessId PosixProcessApi::CurrentProcessId() {
  return static_cast<ProcessId>(getpid());
}

std::unique_ptr<ProcessHandle> PosixProcessApi::OpenProcess(ProcessId processId) {
  if (processId == 0 || processId > 0x7FFFFFFF) return nullptr;
  UniqueFd fd(static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(processId), 0)));
  if (!fd.Valid()) return nullptr;
  return std::make_unique<PidfdProcess>(processId, std::move(fd));
}

std::unique_ptr<ManualResetEvent> PosixProcessApi::CreateManualResetEvent() {
  UniqueFd fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!fd.Valid()) return nullptr;
  return std::make_unique<EventFdEvent>(std::move(fd));
}

WaitOutcome PosixProcessApi::WaitForEither(ManualResetEvent& event, ProcessHandle& process,
                                           std::chrono::milliseconds timeout) {
  std::array<pollfd, 2> fds{pollfd{static_cast<EventFdEvent&>(event).Fd(), POLLIN, 0},
                            pollfd{static_cast<PidfdProcess&>(process).Fd(), POLLIN, 0}};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int ready =
        poll(fds.data(), fds.size(), static_cast<int>(std::max<std::int64_t>(0, left.count())));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return WaitOutcome::kFailed;
    if (ready == 0) return WaitOutcome::kTimedOut;
    if (fds[0].revents != 0) return WaitOutcome::kEventSignalled;
    return WaitOutcome::kProcessSignalled;
  }
}

bool PosixProcessApi::IsStillRunning(ProcessHandle& process) {
  pollfd fd{static_cast<PidfdProcess&>(process).Fd(), POLLIN, 0};
  return poll(&fd, 1, 0) == 0;
}

std::optional<std::vector<ProcessEntry>> PosixProcessApi::SnapshotProcesses() {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return std::nullopt;
  std::vector<ProcessEntry> entries;
  while (const dirent* entry = readdir(proc)) {
    ProcessId processId = 0;
    const std::string_view name(entry->d_name);
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), processId);
    if (error != std::errc() || end != name.data() + name.size()) continue;
    if (const std::optional<ProcessId> parent = ReadParentId(processId)) {
      entries.push_back(ProcessEntry{processId, *parent});
    }
  }
  closedir(proc);
  return entries;
}

std::optional<std::u16string> PosixProcessApi::OwnModuleFileName() {
  return ReadLink("/proc/self/exe");
}

std::optional<std::u16string> PosixProcessApi::ProcessImagePath(ProcessHandle& process) {
  return ReadLink("/proc/" + std::to_string(static_cast<PidfdProcess&>(process).Id()) + "/exe");
}

void PosixProcessApi::ExitProcessNow(int exitCode) {
  _exit(exitCode);
}

namespace {

sigset_t HandledSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&set, signal);
  return set;
}

ConsoleEvent ConsoleEventFor(int signal) {
  switch (signal) {
    case SIGINT:
      return ConsoleEvent::kCtrlC;
    case SIGHUP:
      return ConsoleEvent::kClose;
    default:
      return ConsoleEvent::kShutdown;
  }
}

}  // namespace

PosixRuntime::PosixRuntime(std::function<void(int)> onUserSignal)
    : onUserSignal_(std::move(onUserSignal)) {}

PosixRuntime::~PosixRuntime() {
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(stop_.Get(), &one, sizeof one);
    thread_.join();
  }
}

bool PosixRuntime::AddConsoleControlHandler(ConsoleControlRoutine routine) {
  routine_ = routine;
  if (thread_.joinable()) return true;
  const sigset_t set = HandledSignals();
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
  signals_ = UniqueFd(signalfd(-1, &set, SFD_CLOEXEC));
  stop_ = UniqueFd(eventfd(0, EFD_CLOEXEC));
  if (!signals_.Valid() || !stop_.Valid()) return false;
  thread_ = std::thread([this] { Listen(); });
  return true;
}

void PosixRuntime::RemoveConsoleControlHandler(ConsoleControlRoutine routine) {
  ConsoleControlRoutine expected = routine;
  routine_.compare_exchange_strong(expected, nullptr);
}

void PosixRuntime::Listen() {
  for (;;) {
    std::array<pollfd, 2> fds{pollfd{signals_.Get(), POLLIN, 0}, pollfd{stop_.Get(), POLLIN, 0}};
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    signalfd_siginfo info{};
    if (read(signals_.Get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
    const int signal = static_cast<int>(info.ssi_signo);
    if (signal == SIGUSR1 || signal == SIGUSR2) {
      if (onUserSignal_) onUserSignal_(signal);
      continue;
    }
    const ConsoleControlRoutine routine = routine_;
    if (routine != nullptr && routine(ConsoleEventFor(signal))) continue;
    // Not handled: the default action ends the process, as the console does.
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigaction(signal, &defaultAction, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
  }
}

}  // namespace velmora::computer_use::platform::sim
