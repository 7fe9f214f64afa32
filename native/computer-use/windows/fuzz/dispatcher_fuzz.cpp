// The whole helper over the simulated desktop's default scene, fed a handshake and then one JSON
// frame per line of the input (request frames for every method in the seeds). A line may quote
// the observation answered before it, as a parent fills an action's context: "$OBSERVATION",
// "$STATE", "$INTERACTION", "$GENERATION" and "$DEADLINE" become the last observation's id,
// state hash, interaction id and generation, and its time plus a minute; "$WINDOW" becomes its
// window's target identity ("app:window"), as a wait names it. Checks the rules a
// parent builds on: every request that passes the envelope checks gets exactly one response with
// its id, in order, until a protocol error or "shutdown" ends the session; nothing is answered
// after that; an error response carries a code the parent knows; a binary frame follows only a
// response that announced it; every frame written is within its limits.
#include <unistd.h>

#include <algorithm>
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
#include "support/test_support.h"

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

void ReplaceAll(std::string& text, std::string_view token, const std::string& value) {
  for (std::size_t at = text.find(token); at != std::string::npos;
       at = text.find(token, at + value.size())) {
    text.replace(at, token.size(), value);
  }
}

// Hands the helper one frame per line, made only when the helper reads it, so that the line can
// quote what the helper answered before.
class LazyFrames final : public platform::InputStream {
 public:
  LazyFrames(std::string handshake, std::vector<std::string_view> lines,
             testing::CapturedOutput& output)
      : lines_(std::move(lines)), output_(output) {
    Append(handshake);
  }

  platform::IoResult Read(std::uint8_t* buffer, std::size_t count) override {
    if (position_ == pending_.size()) {
      if (next_ == lines_.size()) return {platform::IoStatus::kOk, 0};
      pending_.clear();
      position_ = 0;
      Append(Substitute(std::string(lines_[next_++])));
    }
    const std::size_t n = std::min(count, pending_.size() - position_);
    std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(position_), n, buffer);
    position_ += n;
    return {platform::IoStatus::kOk, n};
  }
  // The request texts the helper was given, after the handshake.
  const std::vector<std::string>& Sent() const { return sent_; }

 private:
  void Append(const std::string& text) {
    const auto length = static_cast<std::uint32_t>(text.size() + 1);
    for (int shift = 24; shift >= 0; shift -= 8) {
      pending_.push_back(static_cast<std::uint8_t>(length >> shift));
    }
    pending_.push_back(static_cast<std::uint8_t>(FrameKind::Json));
    pending_.insert(pending_.end(), text.begin(), text.end());
  }

  std::string Substitute(std::string line) {
    if (line.find('$') != std::string::npos) {
      Json last = Json::object();
      for (const Json& frame : output_.JsonFrames()) {
        const Json* result = frame.contains("result") ? &frame["result"] : nullptr;
        if (result != nullptr && result->is_object() && result->contains("interaction")) {
          last = *result;
        }
      }
      const Json& interaction = last.value("interaction", Json::object());
      ReplaceAll(line, "$OBSERVATION", last.value("id", ""));
      ReplaceAll(line, "$STATE", last.value("stateHash", ""));
      ReplaceAll(line, "$INTERACTION", interaction.value("id", ""));
      ReplaceAll(line, "$GENERATION", std::to_string(interaction.value("generation", 0)));
      ReplaceAll(line, "$DEADLINE", std::to_string(last.value("capturedAt", 0.0) + 60'000));
      const Json& window = last.value("foreground", Json::object());
      ReplaceAll(line, "$WINDOW",
                 window.value("appIdentity", "") + ":" + window.value("windowIdentity", ""));
    }
    sent_.push_back(line);
    return line;
  }

  std::vector<std::string_view> lines_;
  testing::CapturedOutput& output_;
  std::size_t next_ = 0;
  std::vector<std::uint8_t> pending_;
  std::size_t position_ = 0;
  std::vector<std::string> sent_;
};

// The ids the helper must answer, in order: every request that passes the envelope checks, up
// to the first frame that ends the session.
std::vector<std::string> ExpectedAnswers(const std::vector<std::string>& lines) {
  std::vector<std::string> ids;
  for (const std::string& line : lines) {
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

  const std::string handshake = R"({"type":"handshake","protocolVersion":1,"nonce":")" +
                                std::string(kNonceLength, 'A') + R"(","parentPid":)" +
                                std::to_string(getpid()) + "}";
  testing::CapturedOutput standardOutput;
  LazyFrames standardInput(handshake, lines, standardOutput);
  {
    platform::sim::SimPlatform sim(standardInput, standardOutput);
    platform::sim::ApplyScene(sim, "default", static_cast<platform::ProcessId>(getpid()));
    // Waits and activations then pass their pauses at once: a minute-long wait costs no time.
    sim.System().SetManualTicks(1);
    NoConsoleRuntime runtime;
    platform::Platform& real = sim.Get();
    platform::Platform platform{
        real.standardInput, real.standardOutput, runtime,          real.processes, real.sessions,
        real.windows,       real.messageLoops,   real.processInfo, real.crypto,    real.displays,
        real.automation,    real.system,         real.capture,     real.input};
    fuzz::Require(RunHelper(platform) == kExitOk, "the session ends with exit code 0");
  }
  CheckOutput(standardOutput.Bytes(), ExpectedAnswers(standardInput.Sent()));
  return 0;
}
