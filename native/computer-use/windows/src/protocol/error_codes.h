// Every error code the helper raises, with its wire word. A request failure travels as a
// standard runtime error whose message is the word; the dispatcher turns it into the reply.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velmora::computer_use {

enum class ErrorCode : std::uint8_t {
  // Public: reach the parent unchanged.
  kForegroundRequired,
  kStaleObservation,
  kInvalidRequest,
  kAppNotFound,
  kTargetNotFound,
  kTargetAmbiguous,
  kPermissionMissing,
  kCapabilityUnavailable,
  kSecureDesktopUnavailable,
  kUipiBlocked,
  // Internal: reach the parent as the generic failure.
  kRecordingNotActive,
  kInputMonitoringUnavailable,
  kInvalidObservationScope,
  kTargetUnavailable,
  kIdentifierFailed,
  kSha256Unavailable,
  kSha256Failed,
  kInvalidActionContext,
  // Action results: written into an "act" reply, never raised.
  kActionDeadlineExpired,
  kUserInterference,
  kDuplicateActionSequence,
  kBackgroundActionUnavailable,
  kActionFailed,
  kAppActivationFailed,
  // Protocol: end the session without a reply.
  kPipeReadFailed,
  kPipeWriteFailed,
  kFrameTooLarge,
  kTruncatedFrame,
  kJsonFrameTooLarge,
  kInvalidJsonFrame,
  kInvalidRequestId,
  kBinaryFrameTooLarge,
  kInvalidFrameKind,
  kUnexpectedBinaryFrame,
  kHandshakeMismatch,
  kInvalidRequestFrame,
  kParentWatchdogFailed,
};

enum class ErrorKind : std::uint8_t { kPublic, kInternal, kActionResult, kProtocol };

struct ErrorCodeEntry {
  ErrorCode code;
  std::string_view word;
  ErrorKind kind;
  // A failed "observe" with this code on a safe desktop leaves the interaction monitor running.
  bool keepsInteractionMonitor = false;
};

// In the order of the enumeration; the public codes in the order the mapping searches them.
inline constexpr ErrorCodeEntry kErrorCodes[] = {
    {ErrorCode::kForegroundRequired, "foreground_required", ErrorKind::kPublic, true},
    {ErrorCode::kStaleObservation, "stale_observation", ErrorKind::kPublic, true},
    {ErrorCode::kInvalidRequest, "invalid_request", ErrorKind::kPublic, true},
    {ErrorCode::kAppNotFound, "app_not_found", ErrorKind::kPublic, true},
    {ErrorCode::kTargetNotFound, "target_not_found", ErrorKind::kPublic, true},
    {ErrorCode::kTargetAmbiguous, "target_ambiguous", ErrorKind::kPublic, true},
    {ErrorCode::kPermissionMissing, "permission_missing", ErrorKind::kPublic},
    {ErrorCode::kCapabilityUnavailable, "capability_unavailable", ErrorKind::kPublic, true},
    {ErrorCode::kSecureDesktopUnavailable, "secure_desktop_unavailable", ErrorKind::kPublic},
    {ErrorCode::kUipiBlocked, "uipi_blocked", ErrorKind::kPublic},
    {ErrorCode::kRecordingNotActive, "recording_not_active", ErrorKind::kInternal},
    {ErrorCode::kInputMonitoringUnavailable, "input_monitoring_unavailable", ErrorKind::kInternal},
    {ErrorCode::kInvalidObservationScope, "invalid_observation_scope", ErrorKind::kInternal},
    {ErrorCode::kTargetUnavailable, "target_unavailable", ErrorKind::kInternal},
    {ErrorCode::kIdentifierFailed, "identifier_failed", ErrorKind::kInternal},
    {ErrorCode::kSha256Unavailable, "sha256_unavailable", ErrorKind::kInternal},
    {ErrorCode::kSha256Failed, "sha256_failed", ErrorKind::kInternal},
    {ErrorCode::kInvalidActionContext, "invalid_action_context", ErrorKind::kInternal},
    {ErrorCode::kActionDeadlineExpired, "action_deadline_expired", ErrorKind::kActionResult},
    {ErrorCode::kUserInterference, "user_interference", ErrorKind::kActionResult},
    {ErrorCode::kDuplicateActionSequence, "duplicate_action_sequence", ErrorKind::kActionResult},
    {ErrorCode::kBackgroundActionUnavailable, "background_action_unavailable",
     ErrorKind::kActionResult},
    {ErrorCode::kActionFailed, "action_failed", ErrorKind::kActionResult},
    {ErrorCode::kAppActivationFailed, "app_activation_failed", ErrorKind::kActionResult},
    {ErrorCode::kPipeReadFailed, "pipe_read_failed", ErrorKind::kProtocol},
    {ErrorCode::kPipeWriteFailed, "pipe_write_failed", ErrorKind::kProtocol},
    {ErrorCode::kFrameTooLarge, "frame_too_large", ErrorKind::kProtocol},
    {ErrorCode::kTruncatedFrame, "truncated_frame", ErrorKind::kProtocol},
    {ErrorCode::kJsonFrameTooLarge, "json_frame_too_large", ErrorKind::kProtocol},
    {ErrorCode::kInvalidJsonFrame, "invalid_json_frame", ErrorKind::kProtocol},
    {ErrorCode::kInvalidRequestId, "invalid_request_id", ErrorKind::kProtocol},
    {ErrorCode::kBinaryFrameTooLarge, "binary_frame_too_large", ErrorKind::kProtocol},
    {ErrorCode::kInvalidFrameKind, "invalid_frame_kind", ErrorKind::kProtocol},
    {ErrorCode::kUnexpectedBinaryFrame, "unexpected_binary_frame", ErrorKind::kProtocol},
    {ErrorCode::kHandshakeMismatch, "handshake_mismatch", ErrorKind::kProtocol},
    {ErrorCode::kInvalidRequestFrame, "invalid_request_frame", ErrorKind::kProtocol},
    {ErrorCode::kParentWatchdogFailed, "parent_watchdog_failed", ErrorKind::kProtocol},
};

constexpr bool ErrorTableFollowsEnumeration() {
  for (std::size_t i = 0; i < std::size(kErrorCodes); ++i) {
    if (static_cast<std::size_t>(kErrorCodes[i].code) != i) return false;
  }
  return true;
}
static_assert(ErrorTableFollowsEnumeration());

constexpr const ErrorCodeEntry& ErrorEntry(ErrorCode code) {
  return kErrorCodes[static_cast<std::size_t>(code)];
}
constexpr std::string_view ErrorWord(ErrorCode code) {
  return ErrorEntry(code).word;
}

inline constexpr std::string_view kGenericFailureCode = "native_helper_request_failed";

namespace error_codes_detail {

template <typename Select>
constexpr std::size_t CountCodes(Select select) {
  std::size_t count = 0;
  for (const ErrorCodeEntry& entry : kErrorCodes) count += select(entry) ? 1 : 0;
  return count;
}

template <std::size_t Count, typename Select>
constexpr std::array<std::string_view, Count> CollectWords(Select select) {
  std::array<std::string_view, Count> words{};
  std::size_t next = 0;
  for (const ErrorCodeEntry& entry : kErrorCodes) {
    if (select(entry)) words[next++] = entry.word;
  }
  return words;
}

constexpr bool IsPublic(const ErrorCodeEntry& entry) {
  return entry.kind == ErrorKind::kPublic;
}
constexpr bool KeepsMonitor(const ErrorCodeEntry& entry) {
  return entry.keepsInteractionMonitor;
}

}  // namespace error_codes_detail

// The only codes that reach the parent unchanged, in the order MapErrorCode searches.
inline constexpr auto PublicErrorCodes =
    error_codes_detail::CollectWords<error_codes_detail::CountCodes(error_codes_detail::IsPublic)>(
        error_codes_detail::IsPublic);
inline constexpr auto RequestFailureKeepCodes =
    error_codes_detail::CollectWords<error_codes_detail::CountCodes(
        error_codes_detail::KeepsMonitor)>(error_codes_detail::KeepsMonitor);

static_assert(PublicErrorCodes.size() == 10 && RequestFailureKeepCodes.size() == 7);

// The one thrower of request failures.
[[noreturn]] inline void FailWith(ErrorCode code) {
  throw std::runtime_error(std::string(ErrorWord(code)));
}

// The public code equal to the message, otherwise the generic failure.
std::string_view MapErrorCode(std::string_view message);
bool IsRequestFailureKeepCode(std::string_view message);

}  // namespace velmora::computer_use
