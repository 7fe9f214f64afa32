#include "protocol/envelopes.h"

#include <algorithm>
#include <cmath>

#include "protocol/frame_protocol.h"

namespace velmora::computer_use {
namespace {

bool IsBase64UrlCharacter(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
         c == u'-' || c == u'_';
}

// Truncated toward zero, low 32 bits; out-of-range and non-finite values give 0 or their low
// bits as the platform's own conversion would, never undefined behaviour.
std::int64_t TruncateToInt64(double value) {
  if (!std::isfinite(value)) return 0;
  const double truncated = std::trunc(value);
  if (truncated >= 9223372036854775808.0 || truncated < -9223372036854775808.0) return 0;
  return static_cast<std::int64_t>(truncated);
}

}  // namespace

Handshake CheckHandshake(const Json& frame) {
  try {
    if (GetString(frame, "type", u"") != u"handshake")
      throw ProtocolError(ErrorCode::kHandshakeMismatch);
    if (TruncateToInt64(GetNumber(frame, "protocolVersion", 0)) != kProtocolVersion) {
      throw ProtocolError(ErrorCode::kHandshakeMismatch);
    }
    Handshake handshake;
    handshake.nonce = GetString(frame, "nonce", u"");
    if (handshake.nonce.size() != kNonceLength ||
        !std::all_of(handshake.nonce.begin(), handshake.nonce.end(), IsBase64UrlCharacter)) {
      throw ProtocolError(ErrorCode::kHandshakeMismatch);
    }
    handshake.parentPid =
        static_cast<std::uint32_t>(TruncateToInt64(GetNumber(frame, "parentPid", 0)));
    if (handshake.parentPid < 2) throw ProtocolError(ErrorCode::kHandshakeMismatch);
    return handshake;
  } catch (const JsonTypeError&) {
    throw ProtocolError(ErrorCode::kHandshakeMismatch);
  }
}

Json BuildHandshakeAck(std::u16string_view nonce) {
  Json ack = Json::object();
  SetString(ack, "type", "handshake_ack");
  SetNumber(ack, "protocolVersion", kProtocolVersion);
  SetString(ack, "nonce", nonce);
  return ack;
}

Json BuildHeartbeat() {
  Json heartbeat = Json::object();
  SetString(heartbeat, "type", "heartbeat");
  return heartbeat;
}

RequestEnvelope CheckRequestEnvelope(const Json& frame) {
  try {
    RequestEnvelope envelope;
    if (GetString(frame, "type", u"") != u"request")
      throw ProtocolError(ErrorCode::kInvalidRequestFrame);
    envelope.requestId = GetString(frame, "requestId", u"");
    if (envelope.requestId.empty() || envelope.requestId.size() > kMaxRequestIdUnits) {
      throw ProtocolError(ErrorCode::kInvalidRequestFrame);
    }
    envelope.method = GetString(frame, "method", u"");
    if (envelope.method.empty()) throw ProtocolError(ErrorCode::kInvalidRequestFrame);
    envelope.requestIdUtf8 = ToUtf8(envelope.requestId);
    return envelope;
  } catch (const JsonTypeError&) {
    throw ProtocolError(ErrorCode::kInvalidRequestFrame);
  }
}

Json BuildResponse(std::u16string_view requestId, bool ok, const Json& result,
                   std::string_view errorCode) {
  Json response = Json::object();
  SetString(response, "type", "response");
  SetString(response, "requestId", requestId);
  SetBool(response, "ok", ok);
  if (ok) {
    response["result"] = result;
  } else {
    SetString(response, "error", errorCode);
  }
  return response;
}

Json BuildEvent(Json event) {
  Json envelope = Json::object();
  SetString(envelope, "type", "event");
  envelope["event"] = std::move(event);
  return envelope;
}

Json MakeStateResult(std::string_view state) {
  Json result = Json::object();
  SetString(result, "state", state);
  return result;
}

}  // namespace velmora::computer_use
