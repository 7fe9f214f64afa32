// The whole helper over the simulated desktop's default scene, fed a handshake and then one JSON
// frame per line of the input (request frames for every method in the seeds). Checks the rules a
// parent builds on: every request that passes the envelope checks gets exactly one response with
// its id, in order, until a protocol error or "shutdown" ends the session; nothing is answered
// after that; an error response carries a code the parent knows; a binary frame follows only a
// response that announced it; every frame written is within its limits.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_rules.h"
#include "platform/sim/sim_platform.h"
#include "process/helper_main.h"
#include "protocol/envelopes.h"
#include "protocol/frame_protocol.h"
#include "support/fake_streams.h"

namespace velmora::computer_use {
namespace {

using fuzz::Require;

// At most this many frames a run, so that one input stays quick.
constexpr std::size_t kMaxFramesPerRun = 24;

// The console handler of the real runtime would take the fuzzer's own signals.
class NoConsoleRuntime final : public platform::RuntimeApi {
 public:
  void SetPerMonitorDpiAwareV2() override {}
  bool InitializeProcessApartment() override { return true; }
  bool AddConsoleControlHandler(platform::ConsoleControlRoutine) override { return true; }
  void RemoveConsoleControlHandler(platform::ConsoleControlRoutine) override {}
};

void AppendFrame(std::vector<std::uint8_t>& bytes, std::string_view text) {
  const auto length = static_cast<std::uint32_t>(text.size() + 1);
  for (int shift = 24; shift >= 0; shift -= 8)
    bytes.push_back(static_cast<std::uint8_t>(length >> shift));
  bytes.push_back(static_cast<std::uint8_t>(FrameKind::Json));
  bytes.insert(bytes.end(), text.begin(), text.end());
}

// The ids the helper must answer, in order: every request that passes the envelope checks, up
// to the first frame that ends the session.
std::vector<std::string> ExpectedAnswers(const std::vector<std::string_view>& lines) {
  std::vector<std::string> ids;
  for (const std::string_view line : lines) {
    RequestEnvelope envelope;
    try {
      if (line.size() > MaxJsonTextBytes) return ids;
      envelope = CheckRequestEnvelope(ParseJsonObject(line));
    } catch (const std::exception&) {
      return ids;  // a protocol error: the session ends without a reply
    }
    ids.push_back(envelope.requestIdUtf8);
    if (envelope.method == u"shutdown") return ids;
  }
  return ids;
}

bool IsKnownCode(std::string_view code) {
  if (code == kGenericFailureCode) return true;
  for (const std::string_view known : PublicErrorCodes) {
    if (code == known) return true;
  }
  return false;
}

void CheckOutput(const std::vector<std::uint8_t>& output, const std::vector<std::string>& ids) {
  fakes::FakeInput written(output);
  FrameReader reader(written);
  std::optional<Frame> frame;
  try {
    frame = reader.Read();
    Require(frame && frame->kind == FrameKind::Json &&
                GetString(frame->json, "type", u"") == u"handshake_ack",
            "the acknowledgement first");
    std::size_t answered = 0;
    std::string announced;  // the binary frame the last response promised
    while ((frame = reader.Read())) {
      if (frame->kind == FrameKind::Binary) {
        Require(!announced.empty() && frame->requestId == announced,
                "a binary frame follows the response that announced it");
        announced.clear();
        continue;
      }
      const std::u16string type = GetString(frame->json, "type", u"");
      if (type == u"heartbeat" || type == u"event") continue;
      Require(type == u"response", "only responses, events and heartbeats");
      Require(announced.empty(), "an announced binary frame comes before the next response");
      Require(answered < ids.size(), "no response beyond the requests");
      Require(ToUtf8(GetString(frame->json, "requestId", u"")) == ids[answered],
              "responses in the order of the requests, one each");
      ++answered;
      if (GetBool(frame->json, "ok", false)) {
        const Json& result = frame->json.at("result");
        if (result.contains("screenshot")) {
          announced = ToUtf8(GetString(result.at("screenshot"), "binaryRequestId", u""));
        }
      } else {
        Require(IsKnownCode(ToUtf8(GetString(frame->json, "error", u""))),
                "an error code the parent knows");
      }
    }
    Require(answered == ids.size(), "every request answered");
    Require(announced.empty(), "every announced binary frame sent");
  } catch (const ProtocolError&) {
    Require(false, "every frame written is within its limits");
  }
}

}  // namespace
}  // namespace velmora::computer_use

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::computer_use;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < text.size() && lines.size() < kMaxFramesPerRun;) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }

  std::vector<std::uint8_t> input;
  const std::string handshake = R"({"type":"handshake","protocolVersion":1,"nonce":")" +
                                std::string(kNonceLength, 'A') + R"(","parentPid":)" +
                                std::to_string(getpid()) + "}";
  AppendFrame(input, handshake);
  for (const std::string_view line : lines) AppendFrame(input, line);

  fakes::FakeInput standardInput(std::move(input));
  fakes::FakeOutput standardOutput;
  {
    platform::sim::SimPlatform sim(standardInput, standardOutput);
    platform::sim::ApplyScene(sim, "default", static_cast<platform::ProcessId>(getpid()));
    NoConsoleRuntime runtime;
    platform::Platform& real = sim.Get();
    platform::Platform platform{
        real.standardInput, real.standardOutput, runtime,          real.processes, real.sessions,
        real.windows,       real.messageLoops,   real.processInfo, real.crypto,    real.displays,
        real.automation,    real.system,         real.capture};
    fuzz::Require(RunHelper(platform) == kExitOk, "the session ends with exit code 0");
  }
  CheckOutput(standardOutput.bytes(), ExpectedAnswers(lines));
  return 0;
}
