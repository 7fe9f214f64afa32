#include "observe/window_capture.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>

#include "protocol/error_codes.h"

namespace velmora::computer_use {
namespace {

using platform::CaptureFrame;
using platform::PixelSize;
using platform::Rect;

bool IsNonEmpty(const Rect& rect) {
  return rect.right > rect.left && rect.bottom > rect.top;
}

// The hand-off between the capture call and the arrival handler; both hold it, so it outlives
// whichever finishes last, and only the first arrival touches the promise.
struct PendingFrame {
  std::promise<std::unique_ptr<CaptureFrame>> promise;
  std::atomic<bool> delivered{false};
};

std::chrono::steady_clock::time_point DeadlineAfter(std::chrono::milliseconds wait) {
  const auto now = std::chrono::steady_clock::now();
  if (now > std::chrono::steady_clock::time_point::max() - wait) {
    return std::chrono::steady_clock::time_point::max();
  }
  return now + wait;
}

void EndSession(platform::CaptureSession& session) {
  session.RemoveFrameArrived();
  session.Close();
}

}  // namespace

std::optional<Rect> GetWindowBounds(platform::WindowApi& windows, platform::WindowHandle window) {
  if (window == platform::kNullWindow || !windows.IsWindow(window)) return std::nullopt;
  const std::optional<Rect> frame = windows.ExtendedFrameBounds(window);
  if (frame && IsNonEmpty(*frame)) return frame;
  const std::optional<Rect> rect = windows.WindowRect(window);
  if (rect && IsNonEmpty(*rect)) return rect;
  return std::nullopt;
}

PixelSize ScaledCaptureSize(PixelSize item) {
  const std::int32_t longest = std::max(item.width, item.height);
  if (longest <= kMaxScreenshotSide) return item;
  const double scale = static_cast<double>(kMaxScreenshotSide) / longest;
  const auto side = [scale](std::int32_t length) {
    return std::max<std::int32_t>(1, static_cast<std::int32_t>(length * scale));
  };
  return PixelSize{side(item.width), side(item.height)};
}

std::vector<std::uint8_t> ReadStreamBytes(platform::EncodedImage& image) {
  if (image.Size() > kMaxImageBytes) FailWith(ErrorCode::kCapabilityUnavailable);
  return image.ReadBytes();
}

EncodedScreenshot EncodeScreenshot(platform::CaptureApi& capture, platform::Bitmap& bitmap,
                                   std::uint32_t width, std::uint32_t height) {
  std::unique_ptr<platform::EncodedImage> image =
      capture.Encode(bitmap, width, height, true, kFirstJpegQuality);
  std::u16string mediaType = u"image/png";
  if (image->Size() > kMaxImageBytes) {
    // Once JPEG, always JPEG: no return to PNG and no third attempt.
    mediaType = u"image/jpeg";
    image = capture.Encode(bitmap, width, height, false, kFirstJpegQuality);
    if (image->Size() > kJpegReencodeBytes) {
      image = capture.Encode(bitmap, width, height, false, kSecondJpegQuality);
    }
  }
  return EncodedScreenshot{ReadStreamBytes(*image), std::move(mediaType)};
}

std::vector<Json> RecognizeText(platform::CaptureApi& capture, platform::Bitmap& bitmap) {
  std::vector<Json> nodes;
  const std::optional<std::vector<std::u16string>> lines = capture.RecognizeText(bitmap);
  if (!lines) return nodes;
  for (std::size_t index = 0; index < lines->size() && index < kMaxOcrLines; ++index) {
    Json node = Json::object();
    SetString(node, "id", "ocr:" + std::to_string(index));
    SetString(node, "role", "text");
    SetString(node, "name", std::u16string_view((*lines)[index]));
    nodes.push_back(std::move(node));
  }
  return nodes;
}

CaptureResult WindowCapture::CaptureWindow(platform::WindowHandle window, bool allowVisual) {
  if (!allowVisual) FailWith(ErrorCode::kPermissionMissing);
  platform::WindowApi& windows = platform_.windows;
  platform::CaptureApi& capture = platform_.capture;
  if (window == platform::kNullWindow || !windows.IsWindow(window))
    FailWith(ErrorCode::kTargetNotFound);
  if (!capture.IsCaptureSupported()) FailWith(ErrorCode::kCapabilityUnavailable);

  const std::unique_ptr<platform::CaptureItem> item = capture.CreateItemForWindow(window);
  const PixelSize itemSize = item->Size();
  if (!windows.IsWindow(window)) FailWith(ErrorCode::kStaleObservation);
  // The picture must match the window to the pixel; a cropped image is never sent.
  const std::optional<Rect> bounds = GetWindowBounds(windows, window);
  if (!bounds || itemSize.width != bounds->right - bounds->left ||
      itemSize.height != bounds->bottom - bounds->top) {
    FailWith(ErrorCode::kStaleObservation);
  }
  const PixelSize output = ScaledCaptureSize(itemSize);

  const std::unique_ptr<platform::CaptureSession> session = item->OpenSession();
  auto pending = std::make_shared<PendingFrame>();
  std::future<std::unique_ptr<CaptureFrame>> future = pending->promise.get_future();
  session->AddFrameArrived([pending](platform::FrameSource& sender) {
    if (pending->delivered.exchange(true)) return;
    try {
      pending->promise.set_value(sender.TryGetNextFrame());
    } catch (...) {
      try {
        pending->promise.set_exception(std::current_exception());
      } catch (...) {
        // Nothing else may leave a system thread's handler.
      }
    }
  });
  session->StartCapture();
  if (future.wait_until(DeadlineAfter(kFrameWait)) != std::future_status::ready) {
    EndSession(*session);
    FailWith(ErrorCode::kCapabilityUnavailable);
  }
  const std::unique_ptr<CaptureFrame> frame = future.get();
  if (frame == nullptr) {
    EndSession(*session);
    FailWith(ErrorCode::kCapabilityUnavailable);
  }
  const std::unique_ptr<platform::Bitmap> bitmap = frame->CopyToBitmap();
  EndSession(*session);

  EncodedScreenshot encoded =
      EncodeScreenshot(capture, *bitmap, static_cast<std::uint32_t>(output.width),
                       static_cast<std::uint32_t>(output.height));
  CaptureResult result;
  result.bytes = std::move(encoded.bytes);
  result.mediaType = std::move(encoded.mediaType);
  result.width = output.width;
  result.height = output.height;
  // OCR reads the full-size bitmap, not the scaled image.
  result.ocrNodes = RecognizeText(capture, *bitmap);
  return result;
}

}  // namespace velmora::computer_use
