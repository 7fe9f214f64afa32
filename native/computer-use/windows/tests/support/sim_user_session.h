// The real Linux helper as a parent's CI runs it: launched with the simulated user's channel,
// and the emergency stop as the parent reads it.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include "helper_client.h"

namespace velmora::computer_use::testing {

// A handshaken helper and a connected user channel for each test.
class SimUserSession : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_ = (std::filesystem::temp_directory_path() /
               ("velmora-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".sock"))
                  .string();
    client_ = std::make_unique<client::HelperClient>(client::HelperProcess::Launch(
        VELMORA_HELPER_PATH, client::LaunchOptions{{}, {{"VELMORA_SIM_USER", socket_}}}));
    client_->Handshake();
    user_ = std::make_unique<client::UserChannel>(client::UserChannel::Connect(socket_));
  }

  std::string socket_;
  std::unique_ptr<client::HelperClient> client_;
  std::unique_ptr<client::UserChannel> user_;
};

inline bool IsEmergencyStop(const client::ClientFrame& frame) {
  return frame.json.value("type", "") == "event" && frame.json.contains("event") &&
         frame.json["event"].value("type", "") == "emergency_stop";
}

inline bool EmergencyStopArrives(client::HelperClient& client) {
  return client.WaitFor(IsEmergencyStop, std::chrono::seconds(5)).has_value();
}

inline std::size_t EmergencyStopCount(const client::HelperClient& client) {
  const std::vector<client::ClientFrame> frames = client.Frames();
  return std::count_if(frames.begin(), frames.end(), IsEmergencyStop);
}

}  // namespace velmora::computer_use::testing
