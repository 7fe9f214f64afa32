#include "protocol/frame_protocol.h"

#include <algorithm>
#include <array>

namespace velmora::computer_use {

using platform::IoStatus;

bool ReadExact(platform::InputStream& input, std::uint8_t* buffer, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const std::size_t want = std::min(count - done, IoChunkBytes);
    const platform::IoResult result = input.Read(buffer + done, want);
    if (result.status == IoStatus::kBrokenPipe) return false;
    if (result.status != IoStatus::kOk) throw ProtocolError(ErrorCode::kPipeReadFailed);
    if (result.bytes == 0) return false;
    done += std::min(result.bytes, want);
  }
  return true;
}

void WriteAll(platform::OutputStream& output, const std::uint8_t* buffer, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const std::size_t want = std::min(count - done, IoChunkBytes);
    const platform::IoResult result = output.Write(buffer + done, want);
    if (result.status != IoStatus::kOk || result.bytes == 0) {
      throw ProtocolError(ErrorCode::kPipeWriteFailed);
    }
    done += std::min(result.bytes, want);
  }
}

std::optional<Frame> FrameReader::Read() {
  std::array<std::uint8_t, 4> header{};
  if (!ReadExact(input_, header.data(), header.size())) return std::nullopt;
  const std::uint32_t length = (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
                               (std::uint32_t{header[2]} << 8) | std::uint32_t{header[3]};
  if (length == 0 || length > MaxFrameLength) throw ProtocolError(ErrorCode::kFrameTooLarge);

  std::vector<std::uint8_t> body(length);
  if (!ReadExact(input_, body.data(), body.size())) throw ProtocolError(ErrorCode::kTruncatedFrame);

  Frame frame;
  if (body[0] == static_cast<std::uint8_t>(FrameKind::Json)) {
    const std::size_t textBytes = length - 1;
    if (textBytes > MaxJsonTextBytes) throw ProtocolError(ErrorCode::kJsonFrameTooLarge);
    try {
      frame.kind = FrameKind::Json;
      frame.json = ParseJsonObject(
          std::string_view(reinterpret_cast<const char*>(body.data()) + 1, textBytes));
    } catch (const ProtocolError&) {
      throw;
    } catch (...) {
      throw ProtocolError(ErrorCode::kInvalidJsonFrame);
    }
    return frame;
  }
  if (body[0] == static_cast<std::uint8_t>(FrameKind::Binary) && length >= 3) {
    const std::size_t idLength = (std::size_t{body[1]} << 8) | body[2];
    if (idLength == 0 || idLength > MaxRequestIdLength || 3 + idLength > length) {
      throw ProtocolError(ErrorCode::kInvalidRequestId);
    }
    if (length - 3 - idLength > MaxBinaryPayloadBytes)
      throw ProtocolError(ErrorCode::kBinaryFrameTooLarge);
    frame.kind = FrameKind::Binary;
    frame.requestId.assign(reinterpret_cast<const char*>(body.data()) + 3, idLength);
    frame.payload.assign(body.begin() + static_cast<std::ptrdiff_t>(3 + idLength), body.end());
    return frame;
  }
  throw ProtocolError(ErrorCode::kInvalidFrameKind);
}

void FrameWriter::WriteFrame(FrameKind kind, const std::uint8_t* body, std::size_t size) {
  std::lock_guard lock(mutex_);
  const auto length = static_cast<std::uint32_t>(size + 1);
  const std::array<std::uint8_t, 5> header{
      static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
      static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length),
      static_cast<std::uint8_t>(kind)};
  // The header (length and kind) in one call: a frame costs one call more than its body.
  WriteAll(output_, header.data(), header.size());
  if (size != 0) WriteAll(output_, body, size);
}

void FrameWriter::WriteJson(const Json& object) {
  const std::string text = SerializeJson(object);
  if (text.size() > MaxJsonTextBytes) throw ProtocolError(ErrorCode::kJsonFrameTooLarge);
  WriteFrame(FrameKind::Json, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

void CheckBinaryFrame(std::string_view requestId, std::size_t payloadBytes) {
  if (requestId.empty() || requestId.size() > MaxRequestIdLength) {
    throw ProtocolError(ErrorCode::kInvalidRequestId);
  }
  if (payloadBytes > MaxBinaryPayloadBytes) throw ProtocolError(ErrorCode::kBinaryFrameTooLarge);
}

void FrameWriter::WriteBinary(const std::string& requestId,
                              const std::vector<std::uint8_t>& payload) {
  CheckBinaryFrame(requestId, payload.size());
  // Sized up front: GCC 14 at -O3 takes push_back after reserve for a free of a non-heap
  // pointer (-Wfree-nonheap-object).
  std::vector<std::uint8_t> body(2 + requestId.size() + payload.size());
  body[0] = static_cast<std::uint8_t>(requestId.size() >> 8);
  body[1] = static_cast<std::uint8_t>(requestId.size());
  const auto idEnd = std::copy(requestId.begin(), requestId.end(), body.begin() + 2);
  std::copy(payload.begin(), payload.end(), idEnd);
  WriteFrame(FrameKind::Binary, body.data(), body.size());
}

}  // namespace velmora::computer_use
