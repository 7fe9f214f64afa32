// The simulated user's channel of the real Linux helper: a parent plays the user through
// VELMORA_SIM_USER and sees the effects in its observations and events.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "helper_client.h"
#include "support/sim_user_session.h"

namespace velmora::computer_use {
namespace {

using client::UserChannel;
using json = nlohmann::json;
using std::chrono::seconds;

class SimUserEndToEndTest : public testing::SimUserSession {
 protected:
  // Plays the user's lines in order; each is answered "ok".
  void Play(std::initializer_list<std::string_view> lines) {
    for (std::string_view line : lines) EXPECT_EQ(user_->Command(line), "ok") << line;
  }
  json Observe(const json& payload = {{"scope", "foreground"}}) {
    const json response = client_->Request("observe", payload);
    EXPECT_EQ(response["ok"], true) << response.dump();
    return response.value("result", json::object());
  }
};

TEST_F(SimUserEndToEndTest, TheParentSeesWhatTheUserTypesAndClicks) {
  // The channel is the owner's alone, and the clock is the real one.
  struct stat status {};
  ASSERT_EQ(stat(socket_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  const json first = Observe();
  const double now =
      std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  EXPECT_LT(std::abs(first["capturedAt"].get<double>() - now), 60'000.0);
  const int generation = first["interaction"]["generation"];

  Play({"type hello", "click 1600 980"});  // "Send"
  // Every key and button the user pressed in the window.
  EXPECT_EQ(Observe()["interaction"]["generation"], generation + 6);

  // Another program's click counts for the window as well; moves do not.
  Play({"focus Message", "type again", "move 10 10", "injected-click 1600 980",
        "click 400 500 right", "wheel 400 500 120"});
  EXPECT_EQ(Observe()["interaction"]["generation"], generation + 14);

  Play({"close Velmora Demo"});
  EXPECT_EQ(client_->Request("observe", {{"scope", "foreground"}})["ok"], false);
}

TEST_F(SimUserEndToEndTest, BadClientsDisturbNothing) {
  EXPECT_EQ(user_->Command("dance").rfind("error ", 0), 0u);
  // A megabyte without a newline loses its connection; one cut off mid-line runs nothing.
  UserChannel flood = UserChannel::Connect(socket_);
  const std::string megabyte(1 << 20, 'x');
  for (std::size_t sent = 0; sent < megabyte.size();) {
    const ssize_t written =
        send(flood.Fd(), megabyte.data() + sent, megabyte.size() - sent, MSG_NOSIGNAL);
    if (written <= 0) break;
    sent += static_cast<std::size_t>(written);
  }
  char answer[64] = {};
  if (recv(flood.Fd(), answer, sizeof answer - 1, 0) > 0) {
    EXPECT_EQ(std::string(answer), "error line too long\n");
  }
  {
    UserChannel cut = UserChannel::Connect(socket_);
    ASSERT_EQ(send(cut.Fd(), "close Velmora Demo", 18, MSG_NOSIGNAL), 18);
  }
  // Many connections at once: the extra ones are told so, the others still work.
  std::vector<UserChannel> many;
  many.reserve(50);
  for (int i = 0; i < 50; ++i) many.push_back(UserChannel::Connect(socket_));
  int refused = 0;
  for (UserChannel& each : many) {
    try {
      refused += each.Command("move 1 1", seconds(2)) == "ok" ? 0 : 1;
    } catch (const std::runtime_error&) {
      ++refused;
    }
  }
  EXPECT_GT(refused, 0);
  EXPECT_LT(refused, 50);
  many.clear();
  Play({"move 2 2"});
  EXPECT_EQ(Observe()["foreground"]["windowTitle"], "Velmora Demo");
}

}  // namespace
}  // namespace velmora::computer_use
