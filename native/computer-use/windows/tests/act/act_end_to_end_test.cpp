// "act" through the real Linux helper, with the user played through its channel.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "helper_client.h"
#include "support/act_context.h"

namespace velmora::computer_use {
namespace {

using client::HelperClient;
using client::HelperProcess;
using client::LaunchOptions;
using client::UserChannel;
using json = nlohmann::json;

constexpr char kSettings[] =
    "exe_path_sha256:3d91ad2756bfe69871995ab990edfe451ab6266fa07e95630bf49b80dedb4efd";

class ActEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_ = (std::filesystem::temp_directory_path() /
               ("velmora-act-" + std::to_string(getpid()) + ".sock"))
                  .string();
    client_ = std::make_unique<HelperClient>(HelperProcess::Launch(
        VELMORA_HELPER_PATH, LaunchOptions{{}, {{"VELMORA_SIM_USER", socket_}}}));
    client_->Handshake();
    user_ = std::make_unique<UserChannel>(UserChannel::Connect(socket_));
  }

  json Observe(const json& payload = {{"scope", "foreground"}}) {
    observation_ = client_->Request("observe", payload)["result"];
    return observation_;
  }
  bool Shows(const std::string& name) {
    const json seen = Observe();
    for (const json& node : seen["targets"]) {
      if (node.value("name", "") == name) return true;
    }
    return false;
  }
  json Act(const json& action, const std::string& name) {
    std::string target = "uia:none";
    for (const json& node : observation_["targets"]) {
      if (node.value("name", "") == name) target = node["id"];
    }
    const json context = testing::ActContext(observation_, target, ++sequence_, "e2e");
    return client_->Request("act", {{"action", action}, {"context", context}})["result"];
  }

  std::string socket_;
  std::unique_ptr<HelperClient> client_;
  std::unique_ptr<UserChannel> user_;
  json observation_;
  int sequence_ = 0;
};

TEST_F(ActEndToEndTest, TypesClicksAndActsInTheBackground) {
  Observe();
  EXPECT_EQ(Act({{"kind", "type"}, {"text", "hello"}}, "Message"), json({{"ok", true}}));
  EXPECT_EQ(Act({{"kind", "click"}}, "Send"), json({{"ok", true}}));
  EXPECT_TRUE(Shows("Sent: hello"));

  Observe({{"scope", "application"}, {"appIdentity", kSettings}});
  EXPECT_EQ(Act({{"kind", "click"}}, "Apply"), json({{"ok", true}}));
  // Applied in the background: the foreground is still the demo.
  EXPECT_TRUE(Shows("Sent: hello"));
  Observe({{"scope", "application"}, {"appIdentity", kSettings}});
  EXPECT_NE(observation_.dump().find("\"Applied\""), std::string::npos);
}

TEST_F(ActEndToEndTest, TheUsersClickAfterTheObservationRefusesTheAction) {
  Observe();
  EXPECT_EQ(user_->Command("click 400 500"), "ok");
  EXPECT_EQ(
      Act({{"kind", "click"}}, "Send"),
      json({{"ok", false}, {"errorCode", "user_interference"}, {"executionState", "not_started"}}));
  EXPECT_EQ(user_->Command("lock"), "ok");
  EXPECT_EQ(client_->Request("act", {{"action", json::object()}, {"context", json::object()}})
                .value("error", ""),
            "secure_desktop_unavailable");
}

}  // namespace
}  // namespace velmora::computer_use
