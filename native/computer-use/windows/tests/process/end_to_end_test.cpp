// The real computer-use-helper driven through its pipes by the parent-side client.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "helper_client.h"

namespace velmora::computer_use {
namespace {

using client::ClientFrame;
using client::EncodeBinaryFrame;
using client::EncodeJsonFrame;
using client::EncodeRawFrame;
using client::HelperClient;
using client::HelperProcess;
using client::LaunchOptions;
using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;

json RequestFrame(const std::string& id, const std::string& method) {
  return json{{"type", "request"}, {"requestId", id}, {"method", method}};
}

bool IsType(const ClientFrame& frame, const char* type) {
  return frame.kind == 1 && frame.json.value("type", "") == type;
}

class EndToEndTest : public ::testing::Test {
 protected:
  HelperClient& Start(std::vector<std::pair<std::string, std::string>> environment = {}) {
    client_ = std::make_unique<HelperClient>(
        HelperProcess::Launch(VELMORA_HELPER_PATH, LaunchOptions{{}, std::move(environment)}));
    return *client_;
  }

  // The helper ended the session by itself with exit code 0 and never answered a request.
  void ExpectEndedWithoutReply() {
    ASSERT_TRUE(client_->WaitForEnd(seconds(5)));
    EXPECT_EQ(client_->Process().WaitExit(seconds(5)), 0);
    for (const ClientFrame& frame : client_->Frames()) {
      EXPECT_FALSE(IsType(frame, "response")) << frame.json.dump();
      EXPECT_EQ(frame.kind, 1);
    }
    EXPECT_EQ(client_->ReaderError(), std::nullopt);
  }

  // The last frame sent ended the session after `answers` responses to earlier requests.
  void ExpectEndedAfterAnswers(std::size_t answers) {
    ASSERT_TRUE(client_->WaitForEnd(seconds(5)));
    EXPECT_EQ(client_->Process().WaitExit(seconds(5)), 0);
    EXPECT_EQ(Count("response"), answers);
    EXPECT_EQ(client_->ReaderError(), std::nullopt);
  }

  std::size_t Count(const char* type) {
    std::size_t count = 0;
    for (const ClientFrame& frame : client_->Frames()) count += IsType(frame, type) ? 1 : 0;
    return count;
  }

  std::unique_ptr<HelperClient> client_;
};

TEST_F(EndToEndTest, HandshakeIsAcknowledgedAndHeartbeatsFollow) {
  HelperClient& helper = Start();
  const std::string nonce = client::MakeNonce();
  ASSERT_EQ(nonce.size(), 43u);
  const json ack = helper.Handshake(nonce);
  EXPECT_EQ(ack, (json{{"type", "handshake_ack"}, {"protocolVersion", 1}, {"nonce", nonce}}));
  // The ack is the very first frame.
  ASSERT_GE(helper.FrameCount(), 1u);
  EXPECT_EQ(helper.Frames()[0].json, ack);

  ASSERT_TRUE(
      helper.WaitFor([](const ClientFrame& f) { return IsType(f, "heartbeat"); }, seconds(3), 1));
  const std::size_t first = helper.FrameCount();
  ASSERT_TRUE(helper.WaitFor([](const ClientFrame& f) { return IsType(f, "heartbeat"); },
                             seconds(3), first));
  for (const ClientFrame& frame : helper.Frames()) {
    if (IsType(frame, "heartbeat")) {
      EXPECT_EQ(frame.json, (json{{"type", "heartbeat"}}));
    }
  }
}

TEST_F(EndToEndTest, RequestsAreAnsweredOnceInOrder) {
  HelperClient& helper = Start();
  helper.Handshake();
  EXPECT_EQ(helper.Request("record.stop", json::object(), seconds(10), "a"),
            (json{{"type", "response"},
                  {"requestId", "a"},
                  {"ok", true},
                  {"result", {{"state", "stopped"}}}}));
  EXPECT_EQ(helper.Request("Record.stop")["error"], "invalid_request");
  // Without a payload the request is served with an empty one.
  ASSERT_TRUE(helper.Send(RequestFrame("no-payload", "neutralize")));
  const auto index = helper.WaitFor(
      [](const ClientFrame& f) { return f.json.value("requestId", "") == "no-payload"; },
      seconds(5));
  ASSERT_TRUE(index);
  EXPECT_EQ(helper.Frames()[*index].json["result"], (json{{"state", "neutral"}}));
  EXPECT_EQ(helper.Request("neutralize", json{{"reason", nullptr}})["error"],
            "native_helper_request_failed");
  EXPECT_EQ(helper.Request("observe")["error"], "native_helper_request_failed");
  EXPECT_EQ(Count("response"), 5u);
}

TEST_F(EndToEndTest, RequestIdsAreCountedInUtf16Units) {
  HelperClient& helper = Start();
  helper.Handshake();
  std::string emoji64;
  for (int i = 0; i < 64; ++i) emoji64 += "\xF0\x9F\x98\x80";  // U+1F600, two units each
  EXPECT_EQ(helper.Request("record.stop", json::object(), seconds(10), emoji64)["requestId"],
            emoji64);
  EXPECT_EQ(helper.Request("record.stop", json::object(), seconds(10), std::string(128, 'x'))["ok"],
            true);
  ASSERT_TRUE(helper.Send(RequestFrame(emoji64 + "\xF0\x9F\x98\x80", "record.stop")));
  ExpectEndedAfterAnswers(2);
}

TEST_F(EndToEndTest, JsonTextLimitToTheByte) {
  HelperClient& helper = Start();
  helper.Handshake();
  json request = RequestFrame("big", "record.stop");
  request["padding"] = "";
  const std::size_t base = request.dump().size();
  request["padding"] = std::string(1'048'576 - base, 'p');
  ASSERT_EQ(request.dump().size(), 1'048'576u);
  ASSERT_TRUE(helper.Send(request));
  ASSERT_TRUE(helper.WaitFor(
      [](const ClientFrame& f) { return f.json.value("requestId", "") == "big"; }, seconds(10)));
  request["padding"] = std::string(1'048'577 - base, 'p');
  ASSERT_TRUE(helper.Send(request));
  ExpectEndedAfterAnswers(1);
}

// A session ended by one bad frame after a good handshake.
struct BadFrame {
  const char* name;
  std::vector<std::uint8_t> bytes;
  friend void PrintTo(const BadFrame& frame, std::ostream* out) { *out << frame.name; }
};

class ProtocolErrorEndToEndTest : public EndToEndTest,
                                  public ::testing::WithParamInterface<BadFrame> {};

TEST_P(ProtocolErrorEndToEndTest, EndsTheSessionWithoutAReply) {
  HelperClient& helper = Start();
  helper.Handshake();
  ASSERT_TRUE(helper.SendBytes(GetParam().bytes));
  // Nothing after the bad frame is read.
  helper.SendBytes(EncodeJsonFrame(RequestFrame("after", "record.stop")));
  ExpectEndedWithoutReply();
}

std::vector<BadFrame> BadFrames() {
  std::string header4(4, '\0');
  return {
      {"ZeroLength", EncodeRawFrame(0, 1, "")},
      {"LengthAboveMaximum", EncodeRawFrame(4'194'436, 1, "")},
      {"KindZero", EncodeRawFrame(3, 0, "{}")},
      {"KindThree", EncodeRawFrame(3, 3, "{}")},
      {"KindByteOnly", EncodeRawFrame(1, 1, "")},
      {"BinaryFromParent", EncodeBinaryFrame("r1", {1, 2, 3})},
      {"BinaryTooShort", EncodeRawFrame(2, 2, "\x01")},
      {"InvalidUtf8", EncodeRawFrame(3, 1, "\xFF\xFF")},
      {"TopLevelArray", EncodeRawFrame(3, 1, "[]")},
      {"TopLevelString", EncodeRawFrame(5, 1, "\"ab\"")},
      {"SecondHandshake", EncodeJsonFrame(json{{"type", "handshake"},
                                               {"protocolVersion", 1},
                                               {"nonce", std::string(43, 'A')},
                                               {"parentPid", 2}})},
      {"HeartbeatFromParent", EncodeJsonFrame(json{{"type", "heartbeat"}})},
      {"RequestIdTooLong", EncodeJsonFrame(RequestFrame(std::string(129, 'x'), "record.stop"))},
      {"RequestIdEmpty", EncodeJsonFrame(RequestFrame("", "record.stop"))},
      {"RequestIdNumber",
       EncodeJsonFrame(json{{"type", "request"}, {"requestId", 5}, {"method", "record.stop"}})},
      {"MethodEmpty", EncodeJsonFrame(RequestFrame("m", ""))},
      {"MethodMissing", EncodeJsonFrame(json{{"type", "request"}, {"requestId", "m"}})},
      // About 262 KB, well within the limits: refused as nested too deep, without a crash.
      {"PayloadNestedFarTooDeep",
       [] {
         const std::string text = R"({"type":"request","requestId":"d","method":"record.stop",)"
                                  R"("payload":{"a":)" +
                                  std::string(131'000, '[') + std::string(131'000, ']') + "}}";
         return EncodeRawFrame(static_cast<std::uint32_t>(text.size() + 1), 1, text);
       }()},
  };
}

INSTANTIATE_TEST_SUITE_P(Frames, ProtocolErrorEndToEndTest, ::testing::ValuesIn(BadFrames()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EndToEndTest, TruncatedFrameAndShortHeaderBothEndTheSession) {
  HelperClient& truncated = Start();
  truncated.Handshake();
  std::vector<std::uint8_t> partial = EncodeJsonFrame(RequestFrame("t", "record.stop"));
  partial.resize(partial.size() - 3);
  ASSERT_TRUE(truncated.SendBytes(partial));
  truncated.Process().CloseInput();
  ExpectEndedWithoutReply();

  HelperClient& shortHeader = Start();
  shortHeader.Handshake();
  ASSERT_TRUE(shortHeader.SendBytes({0, 0}));
  shortHeader.Process().CloseInput();
  ExpectEndedWithoutReply();
}

struct BadHandshake {
  const char* name;
  json frame;
  friend void PrintTo(const BadHandshake& handshake, std::ostream* out) { *out << handshake.name; }
};

class HandshakeEndToEndTest : public EndToEndTest,
                              public ::testing::WithParamInterface<BadHandshake> {};

TEST_P(HandshakeEndToEndTest, MismatchEndsTheSessionWithoutAcknowledgement) {
  HelperClient& helper = Start();
  ASSERT_TRUE(helper.Send(GetParam().frame));
  ExpectEndedWithoutReply();
  EXPECT_EQ(Count("handshake_ack"), 0u);
}

std::vector<BadHandshake> BadHandshakes() {
  const std::string nonce(43, 'n');
  const auto handshake = [&](json changes) {
    json frame{{"type", "handshake"},
               {"protocolVersion", 1},
               {"nonce", nonce},
               {"parentPid", static_cast<std::int64_t>(getpid())}};
    for (auto& [key, value] : changes.items()) {
      if (value.is_null()) {
        frame.erase(key);
      } else {
        frame[key] = value;
      }
    }
    return frame;
  };
  return {
      {"RequestFirst", RequestFrame("r", "record.stop")},
      {"VersionTwo", handshake({{"protocolVersion", 2}})},
      {"VersionZero", handshake({{"protocolVersion", 0}})},
      {"VersionMissing", handshake({{"protocolVersion", nullptr}})},
      {"VersionAsString", handshake({{"protocolVersion", "1"}})},
      {"Nonce42", handshake({{"nonce", std::string(42, 'n')}})},
      {"Nonce44", handshake({{"nonce", std::string(44, 'n')}})},
      {"NoncePlus", handshake({{"nonce", std::string(42, 'n') + "+"}})},
      {"NonceSlash", handshake({{"nonce", std::string(42, 'n') + "/"}})},
      {"NoncePadding", handshake({{"nonce", std::string(42, 'n') + "="}})},
      {"ParentPidOne", handshake({{"parentPid", 1}})},
      {"ParentPidMissing", handshake({{"parentPid", nullptr}})},
      {"TypeWrong", handshake({{"type", "Handshake"}})},
  };
}

INSTANTIATE_TEST_SUITE_P(Frames, HandshakeEndToEndTest, ::testing::ValuesIn(BadHandshakes()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EndToEndTest, HandshakeEdgesThatPass) {
  HelperClient& helper = Start();
  const std::string nonce = std::string(21, '-') + std::string(22, '_');
  ASSERT_TRUE(helper.Send(json{{"type", "handshake"},
                               {"protocolVersion", 1.9},
                               {"nonce", nonce},
                               {"parentPid", static_cast<double>(getpid()) + 0.7}}));
  ASSERT_TRUE(
      helper.WaitFor([](const ClientFrame& f) { return IsType(f, "handshake_ack"); }, seconds(5)));
  EXPECT_EQ(helper.Frames()[0].json["nonce"], nonce);
  EXPECT_EQ(helper.Request("record.stop")["ok"], true);
}

TEST_F(EndToEndTest, ParentThatDoesNotExistFailsAfterTheAcknowledgement) {
  auto gone = HelperProcess::Launch("/bin/true", LaunchOptions{});
  const pid_t pid = gone->Pid();
  ASSERT_EQ(gone->WaitExit(seconds(5)), 0);
  HelperClient& helper = Start();
  ASSERT_TRUE(helper.Send(json{{"type", "handshake"},
                               {"protocolVersion", 1},
                               {"nonce", client::MakeNonce()},
                               {"parentPid", pid}}));
  ExpectEndedWithoutReply();
  EXPECT_EQ(Count("handshake_ack"), 1u);
}

TEST_F(EndToEndTest, EndOfInputAndShutdownEndWithExitCodeZero) {
  HelperClient& closed = Start();
  closed.Handshake();
  closed.Process().CloseInput();
  ExpectEndedWithoutReply();

  HelperClient& helper = Start();
  helper.Handshake();
  // Both frames in one write: the request after "shutdown" is never read.
  std::vector<std::uint8_t> bytes = EncodeJsonFrame(RequestFrame("bye", "shutdown"));
  const std::vector<std::uint8_t> after = EncodeJsonFrame(RequestFrame("after", "record.stop"));
  bytes.insert(bytes.end(), after.begin(), after.end());
  ASSERT_TRUE(helper.SendBytes(bytes));
  ASSERT_TRUE(helper.WaitForEnd(seconds(5)));
  EXPECT_EQ(helper.Process().WaitExit(seconds(5)), 0);
  ASSERT_EQ(Count("response"), 1u);
  for (const ClientFrame& frame : helper.Frames()) {
    if (IsType(frame, "response")) {
      EXPECT_EQ(frame.json, (json{{"type", "response"},
                                  {"requestId", "bye"},
                                  {"ok", true},
                                  {"result", {{"state", "stopped"}}}}));
    }
  }
}

TEST_F(EndToEndTest, ParentDeathEndsTheHelperWithinAboutASecond) {
  auto parent = HelperProcess::Launch("/bin/cat", LaunchOptions{});
  HelperClient& helper = Start();
  helper.Handshake(std::nullopt, static_cast<std::uint32_t>(parent->Pid()));
  ASSERT_EQ(helper.Request("record.stop")["ok"], true);
  const auto killed = std::chrono::steady_clock::now();
  parent->Kill(SIGKILL);
  ASSERT_TRUE(helper.WaitForEnd(seconds(3)));
  EXPECT_EQ(helper.Process().WaitExit(seconds(3)), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - killed, milliseconds(1500));
}

TEST_F(EndToEndTest, LockRaisesOneEmergencyStopAndTheLatchStays) {
  HelperClient& helper = Start();
  helper.Handshake();
  // The first guarded request starts the session monitor.
  ASSERT_EQ(helper.Request("observe")["error"], "native_helper_request_failed");
  helper.Process().Kill(SIGUSR1);  // lock the simulated session
  ASSERT_TRUE(helper.WaitFor([](const ClientFrame& f) { return IsType(f, "event"); }, seconds(5)));
  helper.Process().Kill(SIGUSR2);  // unlock
  for (const char* method : {"observe", "act", "record.start", "record.resume"}) {
    EXPECT_EQ(helper.Request(method)["error"], "secure_desktop_unavailable") << method;
  }
  EXPECT_EQ(helper.Request("record.stop")["ok"], true);
  EXPECT_EQ(Count("event"), 1u);
  for (const ClientFrame& frame : helper.Frames()) {
    if (IsType(frame, "event")) {
      EXPECT_EQ(frame.json, (json{{"type", "event"}, {"event", {{"type", "emergency_stop"}}}}));
    }
  }
}

TEST_F(EndToEndTest, LockedAtStartRefusesTheFirstGuardedRequest) {
  for (const char* scene : {"locked", "secure_desktop", "query_fails"}) {
    HelperClient& helper = Start({{"VELMORA_SIM_SCENE", scene}});
    helper.Handshake();
    EXPECT_EQ(helper.Request("act")["error"], "secure_desktop_unavailable") << scene;
    // The monitor thread may raise the stop, so the event can also follow the reply.
    EXPECT_TRUE(helper.WaitFor([](const ClientFrame& f) { return IsType(f, "event"); }, seconds(5)))
        << scene;
    EXPECT_EQ(helper.Request("neutralize")["ok"], true) << scene;
    EXPECT_EQ(Count("event"), 1u) << scene;
  }
}

TEST_F(EndToEndTest, NoAutomationClientFailsStartUpBeforeReading) {
  HelperClient& helper = Start({{"VELMORA_SIM_SCENE", "automation_unavailable"}});
  // Nothing is sent: the helper must end on its own, without waiting for input.
  ASSERT_TRUE(helper.WaitForEnd(seconds(5)));
  EXPECT_EQ(helper.Process().WaitExit(seconds(5)), 1);
  EXPECT_TRUE(helper.Frames().empty());
}

TEST_F(EndToEndTest, ConsoleSignalEndsTheHelper) {
  HelperClient& helper = Start();
  helper.Handshake();
  helper.Process().Kill(SIGTERM);
  ASSERT_TRUE(helper.WaitForEnd(seconds(5)));
  EXPECT_EQ(helper.Process().WaitExit(seconds(5)), 128 + SIGTERM);
}

}  // namespace
}  // namespace velmora::computer_use
