// One still image of one top-level window: captured at full size, checked against the window's
// bounds, encoded at most 1600 pixels on its longest side within the binary frame limit, and
// read by local OCR.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "protocol/json.h"

namespace velmora::computer_use {

inline constexpr std::int32_t kMaxScreenshotSide = 1600;
inline constexpr std::uint64_t kMaxImageBytes = 4'194'304;  // the largest binary frame payload
inline constexpr std::uint64_t kJpegReencodeBytes = 1'572'864;
inline constexpr float kFirstJpegQuality = 0.72f;
inline constexpr float kSecondJpegQuality = 0.45f;
inline constexpr std::chrono::milliseconds kFrameWait{750};
inline constexpr std::size_t kMaxOcrLines = 100;

struct CaptureResult {
  std::vector<std::uint8_t> bytes;
  std::u16string mediaType;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<Json> ocrNodes;
};

struct EncodedScreenshot {
  std::vector<std::uint8_t> bytes;
  std::u16string mediaType;
};

// The extended frame bounds, else the window rectangle; none for no window or an empty one.
std::optional<platform::Rect> GetWindowBounds(platform::WindowApi& windows,
                                              platform::WindowHandle window);
// At most 1600 pixels on the longest side: each side times 1600.0 / longest, truncated, at least 1.
platform::PixelSize ScaledCaptureSize(platform::PixelSize item);
// PNG, else JPEG at 0.72, else JPEG at 0.45; "capability_unavailable" when still too large.
EncodedScreenshot EncodeScreenshot(platform::CaptureApi& capture, platform::Bitmap& bitmap,
                                   std::uint32_t width, std::uint32_t height);
std::vector<std::uint8_t> ReadStreamBytes(platform::EncodedImage& image);
// Text lines as nodes "ocr:N", at most 100; none without an engine.
std::vector<Json> RecognizeText(platform::CaptureApi& capture, platform::Bitmap& bitmap);

class WindowCapture {
 public:
  explicit WindowCapture(platform::Platform& platform) : platform_(platform) {}

  // Fails with "permission_missing", "target_not_found", "capability_unavailable" or
  // "stale_observation"; failing platform calls throw PlatformError.
  CaptureResult CaptureWindow(platform::WindowHandle window, bool allowVisual);

 private:
  platform::Platform& platform_;
};

}  // namespace velmora::computer_use
