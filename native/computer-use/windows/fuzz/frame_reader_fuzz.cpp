// The frame reader over arbitrary bytes, delivered in pieces of the sizes the first byte picks:
// it answers frames within the limits or a protocol error, and every frame it answers is
// written back by the writer to bytes that read as the same frame.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_rules.h"
#include "protocol/frame_protocol.h"
#include "support/fake_streams.h"

namespace velmora::computer_use {
namespace {

using fuzz::Require;

void CheckLimits(const Frame& frame) {
  if (frame.kind == FrameKind::Json) {
    Require(frame.json.is_object(), "a JSON frame holds one object");
    Require(JsonNestingDepth(SerializeJson(frame.json)) <= kMaxJsonDepth, "nesting within limit");
    return;
  }
  Require(!frame.requestId.empty() && frame.requestId.size() <= MaxRequestIdLength,
          "a binary id of 1 to 128 bytes");
  Require(frame.payload.size() <= MaxBinaryPayloadBytes, "a binary payload within its limit");
}

void CheckRoundTrip(const Frame& frame) {
  fakes::FakeOutput output;
  FrameWriter writer(output);
  if (frame.kind == FrameKind::Json) {
    writer.WriteJson(frame.json);
  } else {
    writer.WriteBinary(frame.requestId, frame.payload);
  }
  fakes::FakeInput input(output.bytes());
  FrameReader reader(input);
  const std::optional<Frame> again = reader.Read();
  Require(again.has_value() && again->kind == frame.kind, "a written frame reads back");
  if (frame.kind == FrameKind::Json) {
    Require(again->json == frame.json, "the same object");
  } else {
    Require(again->requestId == frame.requestId && again->payload == frame.payload,
            "the same id and payload");
  }
  Require(!reader.Read().has_value(), "nothing after it");
}

}  // namespace
}  // namespace velmora::computer_use

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::computer_use;
  if (size == 0) return 0;
  // The first byte chooses how the pipe splits the rest: whole, or in pieces of 1 to 255 bytes.
  std::vector<std::size_t> pieces;
  if (data[0] != 0) pieces.push_back(data[0]);
  fakes::FakeInput input(std::vector<std::uint8_t>(data + 1, data + size), pieces);
  FrameReader reader(input);
  try {
    while (const std::optional<Frame> frame = reader.Read()) {
      CheckLimits(*frame);
      CheckRoundTrip(*frame);
    }
  } catch (const ProtocolError&) {
    // The session would end here without a reply.
  }
  return 0;
}
