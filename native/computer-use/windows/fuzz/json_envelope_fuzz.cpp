// The JSON layer and the envelope checks over arbitrary text: the parser accepts exactly one
// object within the nesting limit or refuses with std::invalid_argument; an accepted object
// serialises to text that parses to the same object; the handshake and request checks answer or
// fail with their own protocol codes; the typed getters fail only with JsonTypeError.
// (Numbers too large for a double become infinite and are written as null, so the round trip
// compares texts.)
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_rules.h"
#include "protocol/envelopes.h"
#include "protocol/frame_protocol.h"
#include "protocol/json.h"

namespace velmora::computer_use {
namespace {

using fuzz::Require;

void CheckGetters(const Json& object) {
  for (const auto& [key, value] : object.items()) {
    (void)value;
    try {
      GetNumber(object, key, 0);
    } catch (const JsonTypeError&) {
    }
    try {
      GetString(object, key, u"");
    } catch (const JsonTypeError&) {
    } catch (const std::invalid_argument&) {
      Require(false, "strings of a parsed object are valid UTF-8");
    }
    try {
      GetBool(object, key, false);
    } catch (const JsonTypeError&) {
    }
    try {
      HasObject(object, key);
    } catch (const JsonTypeError&) {
    }
  }
}

void CheckEnvelopes(const Json& object) {
  try {
    const Handshake handshake = CheckHandshake(object);
    Require(handshake.nonce.size() == kNonceLength && handshake.parentPid >= 2,
            "an accepted handshake has a nonce and a parent");
  } catch (const ProtocolError& error) {
    Require(std::string_view(error.what()) == "handshake_mismatch", "the handshake's own code");
  }
  try {
    const RequestEnvelope envelope = CheckRequestEnvelope(object);
    Require(!envelope.requestId.empty() && envelope.requestId.size() <= kMaxRequestIdUnits,
            "a request id of 1 to 128 units");
    Require(!envelope.method.empty(), "a method");
    Require(ToUtf8(envelope.requestId) == envelope.requestIdUtf8, "the id in UTF-8");
    // Its response always fits a frame.
    const std::string response =
        SerializeJson(BuildResponse(envelope.requestId, false, Json::object(), "invalid_request"));
    Require(response.size() <= MaxJsonTextBytes, "an error response fits a frame");
  } catch (const ProtocolError& error) {
    Require(std::string_view(error.what()) == "invalid_request_frame", "the request's own code");
  }
}

}  // namespace
}  // namespace velmora::computer_use

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::computer_use;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Json object;
  try {
    object = ParseJsonObject(text);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  fuzz::Require(object.is_object(), "one object");
  fuzz::Require(JsonNestingDepth(text) <= kMaxJsonDepth, "nesting within the limit");
  // Serialising is a fixed point: the text of the object parses to an object of the same text.
  const std::string serialised = SerializeJson(object);
  fuzz::Require(SerializeJson(ParseJsonObject(serialised)) == serialised, "text round trip");
  CheckGetters(object);
  CheckEnvelopes(object);
  return 0;
}
