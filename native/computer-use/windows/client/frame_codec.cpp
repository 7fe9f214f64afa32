#include "frame_codec.h"

#include <limits>
#include <random>
#include <set>
#include <stdexcept>
#include <variant>

namespace velmora::computer_use::client {
namespace {

void AppendBigEndian32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 24));
  out.push_back(static_cast<std::uint8_t>(value >> 16));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

std::uint32_t ReadBigEndian32(const std::uint8_t* bytes) {
  return (static_cast<std::uint32_t>(bytes[0]) << 24) |
         (static_cast<std::uint32_t>(bytes[1]) << 16) |
         (static_cast<std::uint32_t>(bytes[2]) << 8) | static_cast<std::uint32_t>(bytes[3]);
}

std::uint16_t ReadBigEndian16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

std::uint32_t FrameLengthOrThrow(std::size_t bodyBytes) {
  if (bodyBytes > std::numeric_limits<std::uint32_t>::max() - 1) {
    throw std::length_error("frame body does not fit a 32-bit length field");
  }
  return static_cast<std::uint32_t>(bodyBytes + 1);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const std::uint8_t* bytes, std::size_t size) {
  std::size_t index = 0;
  while (index < size) {
    const std::uint8_t lead = bytes[index];
    std::size_t continuationCount = 0;
    std::uint8_t minSecond = 0x80;
    std::uint8_t maxSecond = 0xBF;
    if (lead < 0x80) {
      ++index;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      continuationCount = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      continuationCount = 2;
      if (lead == 0xE0) minSecond = 0xA0;
      if (lead == 0xED) maxSecond = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      continuationCount = 3;
      if (lead == 0xF0) minSecond = 0x90;
      if (lead == 0xF4) maxSecond = 0x8F;
    } else {
      return false;
    }
    if (size - index - 1 < continuationCount) return false;
    for (std::size_t offset = 1; offset <= continuationCount; ++offset) {
      const std::uint8_t byte = bytes[index + offset];
      const std::uint8_t low = offset == 1 ? minSecond : std::uint8_t{0x80};
      const std::uint8_t high = offset == 1 ? maxSecond : std::uint8_t{0xBF};
      if (byte < low || byte > high) return false;
    }
    index += continuationCount + 1;
  }
  return true;
}

// Parses one JSON text, rejecting what nlohmann would otherwise accept silently: a byte order
// mark and duplicate member names.
std::variant<nlohmann::json, std::string> ParseJsonText(const std::uint8_t* text,
                                                        std::size_t size) {
  if (size >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF) {
    return std::string("JSON text starts with a byte order mark");
  }
  struct Container {
    bool isObject;
    std::set<std::string> keys;
  };
  std::vector<Container> open;
  std::optional<std::string> duplicateKey;
  const auto track = [&](int, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
    using Event = nlohmann::json::parse_event_t;
    switch (event) {
      case Event::object_start:
      case Event::array_start:
        // Refused before it is built: nothing deeper is ever copied, printed or compared.
        if (open.size() >= kMaxJsonDepth) throw std::length_error("nested too deep");
        open.push_back({event == Event::object_start, {}});
        break;
      case Event::object_end:
      case Event::array_end:
        if (!open.empty()) open.pop_back();
        break;
      case Event::key:
        if (!open.empty() && open.back().isObject && parsed.is_string() &&
            !open.back().keys.insert(parsed.get<std::string>()).second && !duplicateKey) {
          duplicateKey = parsed.get<std::string>();
        }
        break;
      case Event::value:
        break;
    }
    return true;
  };
  const char* begin = reinterpret_cast<const char*>(text);
  nlohmann::json value;
  try {
    value = nlohmann::json::parse(begin, begin + size, track, /*allow_exceptions=*/true,
                                  /*ignore_comments=*/false);
  } catch (const nlohmann::json::exception& error) {
    return std::string("JSON text does not parse: ") + error.what();
  } catch (const std::length_error&) {
    return "JSON text nests deeper than " + std::to_string(kMaxJsonDepth) + " levels";
  }
  if (duplicateKey) return "JSON text repeats the member name \"" + *duplicateKey + "\"";
  if (!value.is_object()) {
    return std::string("JSON text must be an object, not ") + value.type_name();
  }
  return value;
}

}  // namespace

std::vector<std::uint8_t> EncodeJsonFrame(const nlohmann::json& object) {
  const std::string text = object.dump();
  std::vector<std::uint8_t> frame;
  frame.reserve(kFrameHeaderBytes + 1 + text.size());
  AppendBigEndian32(frame, FrameLengthOrThrow(text.size()));
  frame.push_back(kJsonFrameKind);
  frame.insert(frame.end(), text.begin(), text.end());
  return frame;
}

std::vector<std::uint8_t> EncodeBinaryFrame(std::string_view id,
                                            const std::vector<std::uint8_t>& payload) {
  if (id.size() > std::numeric_limits<std::uint16_t>::max()) {
    throw std::length_error("binary frame id does not fit a 16-bit length field");
  }
  if (payload.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("binary payload does not fit a 32-bit length field");
  }
  const std::size_t bodyBytes = 2 + id.size() + payload.size();
  std::vector<std::uint8_t> frame;
  frame.reserve(kFrameHeaderBytes + 1 + bodyBytes);
  AppendBigEndian32(frame, FrameLengthOrThrow(bodyBytes));
  frame.push_back(kBinaryFrameKind);
  frame.push_back(static_cast<std::uint8_t>(id.size() >> 8));
  frame.push_back(static_cast<std::uint8_t>(id.size()));
  frame.insert(frame.end(), id.begin(), id.end());
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

std::vector<std::uint8_t> EncodeRawFrame(std::uint32_t length, std::uint8_t kind,
                                         std::string_view body) {
  std::vector<std::uint8_t> frame;
  frame.reserve(kFrameHeaderBytes + 1 + body.size());
  AppendBigEndian32(frame, length);
  frame.push_back(kind);
  frame.insert(frame.end(), body.begin(), body.end());
  return frame;
}

std::string Base64UrlUnpadded(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string text;
  text.reserve((bytes.size() * 4 + 2) / 3);
  std::size_t index = 0;
  for (; index + 3 <= bytes.size(); index += 3) {
    const std::uint32_t group = (std::uint32_t{bytes[index]} << 16) |
                                (std::uint32_t{bytes[index + 1]} << 8) | bytes[index + 2];
    text.push_back(kAlphabet[(group >> 18) & 0x3F]);
    text.push_back(kAlphabet[(group >> 12) & 0x3F]);
    text.push_back(kAlphabet[(group >> 6) & 0x3F]);
    text.push_back(kAlphabet[group & 0x3F]);
  }
  const std::size_t rest = bytes.size() - index;
  if (rest == 1) {
    const std::uint32_t group = std::uint32_t{bytes[index]} << 16;
    text.push_back(kAlphabet[(group >> 18) & 0x3F]);
    text.push_back(kAlphabet[(group >> 12) & 0x3F]);
  } else if (rest == 2) {
    const std::uint32_t group =
        (std::uint32_t{bytes[index]} << 16) | (std::uint32_t{bytes[index + 1]} << 8);
    text.push_back(kAlphabet[(group >> 18) & 0x3F]);
    text.push_back(kAlphabet[(group >> 12) & 0x3F]);
    text.push_back(kAlphabet[(group >> 6) & 0x3F]);
  }
  return text;
}

std::string MakeNonce() {
  std::random_device source;
  std::vector<std::uint8_t> bytes(32);
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(source());
  return Base64UrlUnpadded(bytes);
}

void FrameDecoder::Feed(const std::uint8_t* data, std::size_t size) {
  if (error_) return;
  // Drop consumed bytes once they dominate, keeping the copying amortised.
  if (consumed_ == buffer_.size()) {
    buffer_.clear();
    consumed_ = 0;
  } else if (consumed_ > 65536 && consumed_ * 2 > buffer_.size()) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
  }
  buffer_.insert(buffer_.end(), data, data + size);
}

std::optional<ClientFrame> FrameDecoder::Fail(std::string message) {
  // Parser messages may quote the offending bytes; keep the text printable ASCII.
  for (char& character : message) {
    const auto byte = static_cast<unsigned char>(character);
    if (byte < 0x20 || byte >= 0x7F) character = '?';
  }
  error_ = std::move(message);
  return std::nullopt;
}

std::optional<ClientFrame> FrameDecoder::Next() {
  if (error_) return std::nullopt;
  const std::size_t available = buffer_.size() - consumed_;
  if (available < kFrameHeaderBytes) return std::nullopt;
  const std::uint8_t* start = buffer_.data() + consumed_;
  const std::uint32_t length = ReadBigEndian32(start);
  // Limits are checked as soon as the header is in, so a bad length never makes us wait or buffer.
  if (length == 0) return Fail("frame length 0 leaves no room for the kind byte");
  if (length > kMaxFrameLength) {
    return Fail("frame length " + std::to_string(length) + " exceeds " +
                std::to_string(kMaxFrameLength));
  }
  if (available < kFrameHeaderBytes + 1) return std::nullopt;
  const std::uint8_t kind = start[kFrameHeaderBytes];
  const std::size_t bodyBytes = length - 1;
  if (kind == kJsonFrameKind) {
    if (bodyBytes > kMaxJsonTextBytes) {
      return Fail("JSON frame of " + std::to_string(bodyBytes) + " bytes exceeds " +
                  std::to_string(kMaxJsonTextBytes));
    }
  } else if (kind != kBinaryFrameKind) {
    return Fail("unknown frame kind " + std::to_string(kind));
  }
  if (available < kFrameHeaderBytes + length) return std::nullopt;
  const std::uint8_t* body = start + kFrameHeaderBytes + 1;
  consumed_ += kFrameHeaderBytes + length;

  ClientFrame frame{kind, nullptr, {}, {}};
  if (kind == kJsonFrameKind) {
    auto parsed = ParseJsonText(body, bodyBytes);
    if (auto* problem = std::get_if<std::string>(&parsed)) return Fail(std::move(*problem));
    frame.json = std::move(std::get<nlohmann::json>(parsed));
    return frame;
  }

  if (bodyBytes < 2) {
    return Fail("binary frame body of " + std::to_string(bodyBytes) +
                " bytes has no room for the id length");
  }
  const std::size_t idBytes = ReadBigEndian16(body);
  if (idBytes < kMinBinaryIdBytes || idBytes > kMaxBinaryIdBytes) {
    return Fail("binary frame id length " + std::to_string(idBytes) + " is outside 1..128");
  }
  if (bodyBytes < 2 + idBytes) {
    return Fail("binary frame id of " + std::to_string(idBytes) + " bytes runs past the frame");
  }
  const std::size_t payloadBytes = bodyBytes - 2 - idBytes;
  if (payloadBytes > kMaxBinaryPayloadBytes) {
    return Fail("binary payload of " + std::to_string(payloadBytes) + " bytes exceeds " +
                std::to_string(kMaxBinaryPayloadBytes));
  }
  if (!IsValidUtf8(body + 2, idBytes)) return Fail("binary frame id is not valid UTF-8");
  frame.binaryId.assign(reinterpret_cast<const char*>(body + 2), idBytes);
  frame.payload.assign(body + 2 + idBytes, body + bodyBytes);
  return frame;
}

}  // namespace velmora::computer_use::client
