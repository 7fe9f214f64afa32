// The simulated user's channel of the real Linux helper: a parent plays the user through
// VELMORA_SIM_USER and sees the effects in its observations and events.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "helper_client.h"
#include "support/sim_user_session.h"

namespace velmora::computer_use {
namespace {

using client::HelperClient;
using client::HelperProcess;
using client::LaunchOptions;
using client::UserChannel;
using json = nlohmann::json;
using std::chrono::seconds;

class SimUserEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = std::filesystem::temp_directory_path() /
                 ("velmora-user-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(directory_);
    socket_ = (directory_ / "user.sock").string();
    client_ = std::make_unique<HelperClient>(HelperProcess::Launch(
        VELMORA_HELPER_PATH, LaunchOptions{{}, {{"VELMORA_SIM_USER", socket_}}}));
    client_->Handshake();
  }
  void TearDown() override {
    client_.reset();
    std::filesystem::remove_all(directory_);
  }

  std::string Do(std::string_view line) {
    if (!channel_) channel_ = std::make_unique<UserChannel>(UserChannel::Connect(socket_));
    return channel_->Command(line);
  }
  json Observe(const json& payload = {{"scope", "foreground"}}) {
    const json response = client_->Request("observe", payload);
    EXPECT_EQ(response["ok"], true) << response.dump();
    return response.value("result", json::object());
  }
  // The node of the observation with this name; null when there is none.
  static json Node(const json& observation, const std::string& name) {
    for (const json& node : observation["targets"]) {
      if (node.value("name", "") == name) return node;
    }
    return nullptr;
  }

  std::filesystem::path directory_;
  std::string socket_;
  std::unique_ptr<HelperClient> client_;
  std::unique_ptr<UserChannel> channel_;
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

  EXPECT_EQ(Do("type hello"), "ok");
  EXPECT_EQ(Do("click 1600 980"), "ok");  // "Send"
  json seen = Observe();
  EXPECT_TRUE(Node(seen, "Sent: hello").is_object());
  // Every key and button the user pressed in the window.
  EXPECT_EQ(seen["interaction"]["generation"], generation + 6);

  // Another program's click presses "Send" as well and counts for the window; moves do not.
  EXPECT_EQ(Do("focus Message"), "ok");
  EXPECT_EQ(Do("type again"), "ok");
  EXPECT_EQ(Do("move 10 10"), "ok");
  EXPECT_EQ(Do("injected-click 1600 980"), "ok");
  EXPECT_EQ(Do("click 400 500 right"), "ok");
  EXPECT_EQ(Do("wheel 400 500 120"), "ok");
  seen = Observe();
  EXPECT_TRUE(Node(seen, "Sent: again").is_object());
  EXPECT_EQ(seen["interaction"]["generation"], generation + 14);

  EXPECT_EQ(Do("focus Password"), "ok");
  EXPECT_EQ(Do("press A"), "ok");
  EXPECT_EQ(Node(Observe(), "Password"), nullptr);  // a password field is never named
  EXPECT_EQ(Observe()["targets"][4]["focused"], true);

  EXPECT_EQ(Do("activate Settings"), "ok");
  EXPECT_EQ(Observe()["foreground"]["windowTitle"], "Settings");
  EXPECT_EQ(Do("click 1790 620"), "ok");  // "Apply"
  EXPECT_EQ(Do("click 1800 155"), "ok");  // "Advanced" expands
  seen = Observe();
  EXPECT_TRUE(Node(seen, "Applied").is_object());
  EXPECT_TRUE(Node(seen, "Proxy").is_object());
  EXPECT_EQ(Do("close Settings"), "ok");
  EXPECT_EQ(client_->Request("observe", {{"scope", "foreground"}})["ok"], false);
}

TEST_F(SimUserEndToEndTest, LockingMakesTheDesktopUnsafeForGood) {
  Observe();
  EXPECT_EQ(Do("lock"), "ok");
  EXPECT_TRUE(testing::EmergencyStopArrives(*client_));
  EXPECT_EQ(Do("unlock"), "ok");
  EXPECT_EQ(client_->Request("observe", {{"scope", "foreground"}})["error"],
            "secure_desktop_unavailable");
}

TEST_F(SimUserEndToEndTest, BadCommandsAndBadClientsDisturbNothing) {
  for (std::string_view line :
       {"dance", "click 1 two", "activate Nope", "focus Nope", "close Nope", "type \xC3\xA9"}) {
    EXPECT_EQ(Do(line).rfind("error ", 0), 0u) << line;
  }
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
  const ssize_t received = recv(flood.Fd(), answer, sizeof answer - 1, 0);
  if (received > 0) {
    EXPECT_EQ(std::string(answer), "error line too long\n");
  }
  {
    UserChannel cut = UserChannel::Connect(socket_);
    ASSERT_EQ(send(cut.Fd(), "close Velmora Demo", 18, MSG_NOSIGNAL), 18);
  }
  // Many connections at once: the extra ones are told so, the others still work.
  std::vector<UserChannel> many;
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
  EXPECT_EQ(Do("move 2 2"), "ok");
  EXPECT_EQ(Observe()["foreground"]["windowTitle"], "Velmora Demo");
}

}  // namespace
}  // namespace velmora::computer_use
