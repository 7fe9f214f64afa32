// Length-prefixed frames on the standard streams: JSON objects and binary attachments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/streams.h"
#include "protocol/error_codes.h"
#include "protocol/json.h"

namespace velmora::computer_use {

inline constexpr std::uint32_t MaxFrameLength = 4'194'435;
inline constexpr std::size_t MaxJsonTextBytes = 1'048'576;
inline constexpr std::size_t MaxBinaryPayloadBytes = 4'194'304;
inline constexpr std::size_t MaxRequestIdLength = 128;
inline constexpr std::size_t IoChunkBytes = 65'536;

enum class FrameKind : std::uint8_t { Json = 1, Binary = 2 };

// A malformed frame or a failed pipe; the message is the protocol error code.
class ProtocolError : public std::runtime_error {
 public:
  explicit ProtocolError(ErrorCode code) : std::runtime_error(std::string(ErrorWord(code))) {}
};

struct Frame {
  FrameKind kind = FrameKind::Json;
  Json json;
  std::string requestId;  // raw bytes of a binary frame's id
  std::vector<std::uint8_t> payload;
};

// Reads `count` bytes in chunks; false at the end of the stream.
bool ReadExact(platform::InputStream& input, std::uint8_t* buffer, std::size_t count);
// Writes `count` bytes in chunks; throws "pipe_write_failed".
void WriteAll(platform::OutputStream& output, const std::uint8_t* buffer, std::size_t count);

// Throws "invalid_request_id" or "binary_frame_too_large" for a binary frame that cannot be
// written, so that a caller can find out before it promises one.
void CheckBinaryFrame(std::string_view requestId, std::size_t payloadBytes);

class FrameReader {
 public:
  explicit FrameReader(platform::InputStream& input) : input_(input) {}

  // Empty at the clean end of the input.
  std::optional<Frame> Read();

 private:
  platform::InputStream& input_;
};

class FrameWriter {
 public:
  explicit FrameWriter(platform::OutputStream& output) : output_(output) {}
  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;

  void WriteJson(const Json& object);
  void WriteBinary(const std::string& requestId, const std::vector<std::uint8_t>& payload);
  // One whole frame under the writer's mutex; the callers bound the body.
  void WriteFrame(FrameKind kind, const std::uint8_t* body, std::size_t size);

 private:
  platform::OutputStream& output_;
  std::mutex mutex_;
};

}  // namespace velmora::computer_use
