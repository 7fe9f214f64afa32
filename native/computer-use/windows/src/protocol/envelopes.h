// The messages around the payloads: handshake, heartbeat, request, response and event.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

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

inline constexpr std::array<std::string_view, 10> PublicErrorCodes = {
    "foreground_required", "stale_observation",      "invalid_request",
    "app_not_found",       "target_not_found",       "target_ambiguous",
    "permission_missing",  "capability_unavailable", "secure_desktop_unavailable",
    "uipi_blocked",
};

inline constexpr std::array<std::string_view, 7> RequestFailureKeepCodes = {
    "app_not_found",       "target_not_found",       "target_ambiguous", "stale_observation",
    "foreground_required", "capability_unavailable", "invalid_request",
};

inline constexpr std::string_view kGenericFailureCode = "native_helper_request_failed";

// Components report a failure as a standard runtime error whose message is its error code.
[[noreturn]] inline void FailWithCode(const char* code) {
  throw std::runtime_error(code);
}

// The public code equal to the message, otherwise the generic failure.
std::string_view MapErrorCode(std::string_view message);
bool IsRequestFailureKeepCode(std::string_view message);

}  // namespace velmora::computer_use
