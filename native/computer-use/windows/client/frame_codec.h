// The parent side's own codec of the helper's frame protocol, written apart from the helper's so
// each checks the other: encoders, a strict incremental decoder, and the handshake nonce.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::computer_use::client {

inline constexpr std::uint8_t kJsonFrameKind = 1;
inline constexpr std::uint8_t kBinaryFrameKind = 2;
inline constexpr std::size_t kFrameHeaderBytes = 4;
inline constexpr std::size_t kMaxJsonTextBytes = 1'048'576;
inline constexpr std::size_t kMaxBinaryPayloadBytes = 4'194'304;
inline constexpr std::size_t kMinBinaryIdBytes = 1;
inline constexpr std::size_t kMaxBinaryIdBytes = 128;
// Arrays and objects nest at most this deep in a frame, its own object counting as one.
inline constexpr std::size_t kMaxJsonDepth = 128;
// Kind byte + 2-byte id length + longest id + largest payload.
inline constexpr std::uint32_t kMaxFrameLength = 1 + 2 + kMaxBinaryIdBytes + kMaxBinaryPayloadBytes;

struct ClientFrame {
  std::uint8_t kind;
  nlohmann::json json;                // kind 1 only
  std::string binaryId;               // kind 2 only
  std::vector<std::uint8_t> payload;  // kind 2 only
};

// The encoders write whatever they are given, including frames over the protocol limits (so
// tests can send oversized frames); they throw std::length_error only when a value cannot be
// represented in the length fields at all.
std::vector<std::uint8_t> EncodeJsonFrame(const nlohmann::json& object);  // compact dump
std::vector<std::uint8_t> EncodeBinaryFrame(std::string_view id,
                                            const std::vector<std::uint8_t>& payload);
// Writes `length` verbatim (big-endian), then `kind`, then `body`: for malformed-frame tests.
std::vector<std::uint8_t> EncodeRawFrame(std::uint32_t length, std::uint8_t kind,
                                         std::string_view body);
// 32 bytes from std::random_device as unpadded base64url: 43 characters of A-Za-z0-9-_.
std::string MakeNonce();
std::string Base64UrlUnpadded(const std::vector<std::uint8_t>& bytes);

// Incremental, strict decoder of the helper's output stream. Feed bytes as they arrive and pull
// complete frames; the first violation of the codec rules is kept in Error() and ends decoding.
class FrameDecoder {
 public:
  void Feed(const std::uint8_t* data, std::size_t size);
  // The next complete frame, or nullopt when more bytes are needed or after an error.
  std::optional<ClientFrame> Next();
  const std::optional<std::string>& Error() const { return error_; }
  // Bytes received but not yet part of a complete frame.
  std::size_t PendingBytes() const { return buffer_.size() - consumed_; }

 private:
  std::optional<ClientFrame> Fail(std::string message);

  std::vector<std::uint8_t> buffer_;
  std::size_t consumed_ = 0;
  std::optional<std::string> error_;
};

}  // namespace velmora::computer_use::client
