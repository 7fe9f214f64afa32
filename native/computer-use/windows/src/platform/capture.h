// Window capture, image encoding and local text recognition. Failing platform calls throw
// PlatformError with their HRESULT.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace velmora::computer_use::platform {

// A still image at the window's full size, in BGRA8.
class Bitmap {
 public:
  virtual ~Bitmap() = default;
  virtual std::int32_t Width() const = 0;
  virtual std::int32_t Height() const = 0;
};

class CaptureFrame {
 public:
  virtual ~CaptureFrame() = default;
  // A software copy of the frame's surface, waited for without a time-out.
  virtual std::unique_ptr<Bitmap> CopyToBitmap() = 0;
};

// The frame pool that raised an arrival.
class FrameSource {
 public:
  // Null when the pool holds no frame.
  virtual std::unique_ptr<CaptureFrame> TryGetNextFrame() = 0;

 protected:
  ~FrameSource() = default;
};

// Runs on a system thread for every frame that arrives; must not throw.
using FrameArrivedHandler = std::function<void(FrameSource& sender)>;

// The device, the free-threaded frame pool of one buffer and the session of one capture, with
// cursor capture off where the system allows it.
class CaptureSession {
 public:
  virtual ~CaptureSession() = default;
  virtual void AddFrameArrived(FrameArrivedHandler handler) = 0;
  virtual void RemoveFrameArrived() = 0;
  virtual void StartCapture() = 0;
  // Closes the session, then the pool.
  virtual void Close() = 0;
};

struct PixelSize {
  std::int32_t width = 0;
  std::int32_t height = 0;
  friend bool operator==(const PixelSize&, const PixelSize&) = default;
};

// The capture item of one window.
class CaptureItem {
 public:
  virtual ~CaptureItem() = default;
  virtual PixelSize Size() = 0;
  virtual std::unique_ptr<CaptureSession> OpenSession() = 0;
};

// One encoded image in memory.
class EncodedImage {
 public:
  virtual ~EncodedImage() = default;
  virtual std::uint64_t Size() = 0;
  virtual std::vector<std::uint8_t> ReadBytes() = 0;
};

class CaptureApi {
 public:
  virtual ~CaptureApi() = default;
  // Whether window capture works on this system; false on any failure.
  virtual bool IsCaptureSupported() = 0;
  virtual std::unique_ptr<CaptureItem> CreateItemForWindow(WindowHandle window) = 0;
  // The bitmap scaled by the encoder to the given size: PNG, or JPEG at the quality.
  virtual std::unique_ptr<EncodedImage> Encode(Bitmap& bitmap, std::uint32_t width,
                                               std::uint32_t height, bool png, float quality) = 0;
  // The lines the user-profile recogniser reads, in its order; none when there is no engine.
  virtual std::optional<std::vector<std::u16string>> RecognizeText(Bitmap& bitmap) = 0;
};

}  // namespace velmora::computer_use::platform
