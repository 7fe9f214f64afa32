// Simulated window capture: each window delivers a frame (or none, a null one, a late one, or
// one whose size disagrees with the window), on a thread of its own as the system does; real
// PNG and JPEG encoders; and a recogniser that reads the lines the scene gives the window.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/capture.h"
#include "platform/windows.h"

namespace velmora::computer_use::platform::sim {

enum class FrameDelivery { kFrame, kNone, kNullFrame, kLate };
enum class FrameContent { kGradient, kNoise };

struct SimWindowCapture {
  FrameDelivery delivery = FrameDelivery::kFrame;
  std::chrono::milliseconds lateBy{1000};
  int arrivals = 1;                   // arrivals after StartCapture; only the first is used
  std::optional<PixelSize> itemSize;  // none: the window rectangle's size
  FrameContent content = FrameContent::kGradient;
  std::vector<std::u16string> textLines;
  std::function<void()> onCreateItem;    // runs once the item is made, on the calling thread
  std::function<void()> onStartCapture;  // runs on the delivery thread before the first frame
};

// The pixels of a simulated capture, BGRA8, with the lines its text recogniser reads.
class SimBitmap final : public Bitmap {
 public:
  SimBitmap(PixelSize size, FrameContent content, std::vector<std::u16string> textLines);
  std::int32_t Width() const override { return size_.width; }
  std::int32_t Height() const override { return size_.height; }
  const std::vector<std::uint8_t>& Pixels() const { return pixels_; }
  const std::vector<std::u16string>& TextLines() const { return textLines_; }

 private:
  PixelSize size_;
  std::vector<std::uint8_t> pixels_;
  std::vector<std::u16string> textLines_;
};

// PNG or JPEG bytes of the bitmap scaled (nearest pixel) to the size; throws PlatformError.
std::vector<std::uint8_t> EncodeSimBitmap(const SimBitmap& bitmap, std::uint32_t width,
                                          std::uint32_t height, bool png, float quality);

class SimCapture final : public CaptureApi {
 public:
  explicit SimCapture(WindowApi& windows);
  ~SimCapture() override;
  SimCapture(const SimCapture&) = delete;
  SimCapture& operator=(const SimCapture&) = delete;

  void SetSupported(bool supported);
  void SetOcrAvailable(bool available);
  void SetWindowCapture(WindowHandle window, SimWindowCapture capture);
  // Sessions opened and not yet closed, and handlers still registered.
  std::size_t OpenSessionCount() const;
  std::size_t HandlerCount() const;
  // Encodings made so far, PNG and JPEG together.
  std::size_t EncodeCount() const;

  bool IsCaptureSupported() override;
  std::unique_ptr<CaptureItem> CreateItemForWindow(WindowHandle window) override;
  std::unique_ptr<EncodedImage> Encode(Bitmap& bitmap, std::uint32_t width, std::uint32_t height,
                                       bool png, float quality) override;
  std::optional<std::vector<std::u16string>> RecognizeText(Bitmap& bitmap) override;

  struct SessionState;

 private:
  friend class SimCaptureItem;
  friend class SimCaptureSession;
  struct Delivery {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };

  void StartDelivery(std::shared_ptr<SessionState> session);
  void Deliver(SessionState& session);

  WindowApi& windows_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool shuttingDown_ = false;
  bool supported_ = true;
  bool ocrAvailable_ = true;
  std::map<WindowHandle, SimWindowCapture> scenes_;
  std::size_t openSessions_ = 0;
  std::size_t handlers_ = 0;
  std::size_t encodes_ = 0;
  std::vector<Delivery> deliveries_;
};

}  // namespace velmora::computer_use::platform::sim
