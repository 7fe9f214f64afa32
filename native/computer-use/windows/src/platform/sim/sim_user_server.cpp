#include "platform/sim/sim_user_server.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace velmora::computer_use::platform::sim {
namespace {

struct Connection {
  UniqueFd fd;
  std::string pending;  // bytes of the line not yet ended
};

// Answers never wait for a client that does not read: such a client loses its connection.
bool SendLine(int fd, std::string line) {
  line.push_back('\n');
  std::size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t written =
        send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    sent += static_cast<std::size_t>(written);
  }
  return true;
}

bool IsSocket(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

}  // namespace

bool SimUserServer::Start(const std::string& path, Executor executor) {
  Stop();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  if (IsSocket(path)) unlink(path.c_str());

  UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!listener.Valid() || !wake.Valid()) return false;
  // Created for the owner only: nobody else on the machine may play the user.
  const mode_t previousMask = umask(0177);
  const int bound = bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address),
                         static_cast<socklen_t>(sizeof address));
  umask(previousMask);
  if (bound != 0) return false;
  if (chmod(path.c_str(), 0600) != 0 || listen(listener.Get(), 64) != 0) {
    unlink(path.c_str());
    return false;
  }
  path_ = path;
  executor_ = std::move(executor);
  listener_ = std::move(listener);
  wake_ = std::move(wake);
  // The server's thread takes no signals: they belong to the helper's signal thread.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  thread_ = std::thread([this] { Serve(); });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return true;
}

void SimUserServer::Stop() {
  if (!thread_.joinable()) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(wake_.Get(), &one, sizeof one);
  thread_.join();
  unlink(path_.c_str());
  listener_.Reset();
  wake_.Reset();
}

void SimUserServer::Serve() {
  std::vector<Connection> connections;
  for (;;) {
    std::vector<pollfd> watched;
    watched.push_back({wake_.Get(), POLLIN, 0});
    watched.push_back({listener_.Get(), POLLIN, 0});
    for (const Connection& connection : connections) {
      watched.push_back({connection.fd.Get(), POLLIN, 0});
    }
    if (poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (watched[0].revents != 0) return;
    if ((watched[1].revents & POLLIN) != 0) {
      UniqueFd accepted(accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (accepted.Valid()) {
        if (connections.size() >= kMaxUserConnections) {
          SendLine(accepted.Get(), "error too many connections");
        } else {
          connections.push_back(Connection{std::move(accepted), {}});
        }
      }
    }
    // Connections whose descriptors were watched: the ones accepted above wait for next round.
    const std::size_t watchedConnections = watched.size() - 2;
    std::vector<bool> closed(connections.size(), false);
    for (std::size_t index = 0; index < watchedConnections; ++index) {
      if (watched[index + 2].revents == 0) continue;
      Connection& connection = connections[index];
      char buffer[4096];
      const ssize_t received = recv(connection.fd.Get(), buffer, sizeof buffer, 0);
      if (received < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (received <= 0) {
        // A line cut off by the end of the connection is dropped, never run.
        closed[index] = true;
        continue;
      }
      connection.pending.append(buffer, static_cast<std::size_t>(received));
      std::size_t newline;
      while (!closed[index] && (newline = connection.pending.find('\n')) != std::string::npos) {
        const std::string line = connection.pending.substr(0, newline);
        connection.pending.erase(0, newline + 1);
        if (line.size() > kMaxUserCommandBytes) {
          SendLine(connection.fd.Get(), "error line too long");
          closed[index] = true;
          break;
        }
        std::string answer;
        try {
          answer = executor_(line);
        } catch (...) {
          answer = "error the command failed";
        }
        if (!SendLine(connection.fd.Get(), answer)) closed[index] = true;
      }
      if (!closed[index] && connection.pending.size() > kMaxUserCommandBytes) {
        SendLine(connection.fd.Get(), "error line too long");
        closed[index] = true;
      }
    }
    for (std::size_t index = connections.size(); index-- > 0;) {
      if (index < closed.size() && closed[index]) {
        connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(index));
      }
    }
  }
}

}  // namespace velmora::computer_use::platform::sim
