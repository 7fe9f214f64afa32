// The messages around the payloads: handshake, heartbeat, request, response and event.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/error_codes.h"
#include "protocol/json.h"

namespace velmora::computer_use {

inline constexpr int kProtocolVersion = 1;
inline constexpr std::size_t kNonceLength = 43;
inline constexpr std::size_t kMaxRequestIdUnits = 128;

struct Handshake {
  std::u16string nonce;
  std::uint32_t parentPid = 0;
};

// Checks the first frame in the documented order; throws ProtocolError "handshake_mismatch".
Handshake CheckHandshake(const Json& frame);
Json BuildHandshakeAck(std::u16string_view nonce);
Json BuildHeartbeat();

struct RequestEnvelope {
  std::u16string requestId;
  std::string requestIdUtf8;
  std::u16string method;
};

// Throws ProtocolError "invalid_request_frame" (also for a key of the wrong type).
RequestEnvelope CheckRequestEnvelope(const Json& frame);

Json BuildResponse(std::u16string_view requestId, bool ok, const Json& result,
                   std::string_view errorCode);
Json BuildEvent(Json event);
Json MakeStateResult(std::string_view state);

}  // namespace velmora::computer_use
