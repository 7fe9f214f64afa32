#include "platform/sim/sim_capture.h"

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>
#ifndef _WIN32
// Debian's codecs; the Windows build of the simulated desktop has none.
#include <jpeglib.h>
#include <png.h>
#endif

#include "common/platform_error.h"

namespace velmora::computer_use::platform::sim {

constexpr std::int32_t kEFail = static_cast<std::int32_t>(0x80004005);

struct SimCapture::SessionState {
  SimWindowCapture scene;
  PixelSize size;
  std::mutex mutex;
  FrameArrivedHandler handler;
  bool handlerCounted = false;
  bool closed = false;
};

namespace {

class SimFrame final : public CaptureFrame {
 public:
  SimFrame(PixelSize size, const SimWindowCapture& scene) : size_(size), scene_(scene) {}
  std::unique_ptr<Bitmap> CopyToBitmap() override {
    return std::make_unique<SimBitmap>(size_, scene_.content, scene_.textLines);
  }

 private:
  PixelSize size_;
  SimWindowCapture scene_;
};

class SimFrameSource final : public FrameSource {
 public:
  explicit SimFrameSource(const SimCapture::SessionState& state) : state_(state) {}
  std::unique_ptr<CaptureFrame> TryGetNextFrame() override {
    if (state_.scene.delivery == FrameDelivery::kNullFrame) return nullptr;
    return std::make_unique<SimFrame>(state_.size, state_.scene);
  }

 private:
  const SimCapture::SessionState& state_;
};

class SimEncodedImage final : public EncodedImage {
 public:
  explicit SimEncodedImage(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t Size() override { return bytes_.size(); }
  std::vector<std::uint8_t> ReadBytes() override { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

#ifndef _WIN32
// RGB rows of the bitmap at the output size, nearest source pixel.
std::vector<std::uint8_t> ScaledRgb(const SimBitmap& bitmap, std::uint32_t width,
                                    std::uint32_t height) {
  std::vector<std::uint8_t> rgb(std::size_t{width} * height * 3);
  const std::vector<std::uint8_t>& pixels = bitmap.Pixels();
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::size_t sourceY = std::size_t{y} * static_cast<std::size_t>(bitmap.Height()) / height;
    for (std::uint32_t x = 0; x < width; ++x) {
      const std::size_t sourceX = std::size_t{x} * static_cast<std::size_t>(bitmap.Width()) / width;
      const std::uint8_t* bgra =
          &pixels[(sourceY * static_cast<std::size_t>(bitmap.Width()) + sourceX) * 4];
      std::uint8_t* out = &rgb[(std::size_t{y} * width + x) * 3];
      out[0] = bgra[2];
      out[1] = bgra[1];
      out[2] = bgra[0];
    }
  }
  return rgb;
}

std::vector<std::uint8_t> EncodePng(const std::vector<std::uint8_t>& rgb, std::uint32_t width,
                                    std::uint32_t height) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) throw PlatformError{kEFail};
  png_infop info = png_create_info_struct(png);
  // Written by the library after setjmp, so kept on the heap (see EncodeJpeg).
  const auto bytes = std::make_unique<std::vector<std::uint8_t>>();
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw PlatformError{kEFail};
  }
  png_set_write_fn(
      png, bytes.get(),
      [](png_structp writer, png_bytep data, png_size_t length) {
        auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(writer));
        out->insert(out->end(), data, data + length);
      },
      nullptr);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (std::uint32_t y = 0; y < height; ++y) {
    png_write_row(png, rgb.data() + std::size_t{y} * width * 3);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::move(*bytes);
}

struct JpegFailure {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

// What the library changes between setjmp and a longjmp, kept on the heap: locals of this
// frame changed there would be indeterminate after the jump.
struct JpegCompression {
  jpeg_compress_struct jpeg{};
  JpegFailure failure{};
  unsigned char* buffer = nullptr;
  unsigned long size = 0;  // NOLINT(google-runtime-int): the library's type
};

std::vector<std::uint8_t> EncodeJpeg(const std::vector<std::uint8_t>& rgb, std::uint32_t width,
                                     std::uint32_t height, float quality) {
  const auto state = std::make_unique<JpegCompression>();
  jpeg_compress_struct& jpeg = state->jpeg;
  jpeg.err = jpeg_std_error(&state->failure.manager);
  state->failure.manager.error_exit = [](j_common_ptr common) {
    std::longjmp(reinterpret_cast<JpegFailure*>(common->err)->jump, 1);
  };
  if (setjmp(state->failure.jump)) {
    jpeg_destroy_compress(&state->jpeg);
    std::free(state->buffer);  // NOLINT(cppcoreguidelines-no-malloc): the library allocated it
    throw PlatformError{kEFail};
  }
  jpeg_create_compress(&jpeg);
  jpeg_mem_dest(&jpeg, &state->buffer, &state->size);
  jpeg.image_width = width;
  jpeg.image_height = height;
  jpeg.input_components = 3;
  jpeg.in_color_space = JCS_RGB;
  jpeg_set_defaults(&jpeg);
  jpeg_set_quality(&jpeg, static_cast<int>(std::lround(quality * 100.0f)), TRUE);
  jpeg_start_compress(&jpeg, TRUE);
  while (jpeg.next_scanline < jpeg.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(rgb.data() + std::size_t{jpeg.next_scanline} * width * 3);
    jpeg_write_scanlines(&jpeg, &row, 1);
  }
  jpeg_finish_compress(&jpeg);
  jpeg_destroy_compress(&jpeg);
  std::vector<std::uint8_t> bytes(state->buffer, state->buffer + state->size);
  std::free(state->buffer);  // NOLINT(cppcoreguidelines-no-malloc): the library allocated it
  return bytes;
}
#endif

}  // namespace

class SimCaptureSession final : public CaptureSession {
 public:
  SimCaptureSession(SimCapture& owner, std::shared_ptr<SimCapture::SessionState> state)
      : owner_(owner), state_(std::move(state)) {}
  ~SimCaptureSession() override { Close(); }

  void AddFrameArrived(FrameArrivedHandler handler) override {
    std::scoped_lock lock(owner_.mutex_, state_->mutex);
    if (!state_->handlerCounted) ++owner_.handlers_;
    state_->handlerCounted = true;
    state_->handler = std::move(handler);
  }
  void RemoveFrameArrived() override {
    std::scoped_lock lock(owner_.mutex_, state_->mutex);
    if (state_->handlerCounted) --owner_.handlers_;
    state_->handlerCounted = false;
    state_->handler = nullptr;
  }
  void StartCapture() override { owner_.StartDelivery(state_); }
  void Close() override {
    // Closing also unregisters, as releasing the pool does.
    RemoveFrameArrived();
    std::scoped_lock lock(owner_.mutex_, state_->mutex);
    if (state_->closed) return;
    state_->closed = true;
    --owner_.openSessions_;
  }

 private:
  SimCapture& owner_;
  std::shared_ptr<SimCapture::SessionState> state_;
};

class SimCaptureItem final : public CaptureItem {
 public:
  SimCaptureItem(SimCapture& owner, SimWindowCapture scene, PixelSize size)
      : owner_(owner), scene_(std::move(scene)), size_(size) {}
  PixelSize Size() override { return size_; }
  std::unique_ptr<CaptureSession> OpenSession() override {
    auto state = std::make_shared<SimCapture::SessionState>();
    state->scene = scene_;
    state->size = size_;
    {
      std::lock_guard lock(owner_.mutex_);
      ++owner_.openSessions_;
    }
    return std::make_unique<SimCaptureSession>(owner_, std::move(state));
  }

 private:
  SimCapture& owner_;
  SimWindowCapture scene_;
  PixelSize size_;
};

SimBitmap::SimBitmap(PixelSize size, FrameContent content, std::vector<std::u16string> textLines)
    : size_(size),
      pixels_(static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height) * 4),
      textLines_(std::move(textLines)) {
  std::uint32_t noise = 0x9E3779B9u;
  for (std::size_t i = 0; i < pixels_.size(); i += 4) {
    const std::size_t pixel = i / 4;
    const auto x = static_cast<std::uint32_t>(pixel % static_cast<std::size_t>(size.width));
    const auto y = static_cast<std::uint32_t>(pixel / static_cast<std::size_t>(size.width));
    if (content == FrameContent::kNoise) {
      noise ^= noise << 13;
      noise ^= noise >> 17;
      noise ^= noise << 5;
      pixels_[i] = static_cast<std::uint8_t>(noise);
      pixels_[i + 1] = static_cast<std::uint8_t>(noise >> 8);
      pixels_[i + 2] = static_cast<std::uint8_t>(noise >> 16);
    } else {
      pixels_[i] = static_cast<std::uint8_t>(x / 8);
      pixels_[i + 1] = static_cast<std::uint8_t>(y / 8);
      pixels_[i + 2] = static_cast<std::uint8_t>((x + y) / 16);
    }
    pixels_[i + 3] = 0xFF;
  }
}

std::vector<std::uint8_t> EncodeSimBitmap(const SimBitmap& bitmap, std::uint32_t width,
                                          std::uint32_t height, bool png, float quality) {
  if (width == 0 || height == 0) throw PlatformError{kEFail};
#ifdef _WIN32
  (void)bitmap;
  (void)png;
  (void)quality;
  throw PlatformError{static_cast<std::int32_t>(0x80004001)};  // E_NOTIMPL
#else
  const std::vector<std::uint8_t> rgb = ScaledRgb(bitmap, width, height);
  return png ? EncodePng(rgb, width, height) : EncodeJpeg(rgb, width, height, quality);
#endif
}

SimCapture::SimCapture(WindowApi& windows) : windows_(windows) {}

SimCapture::~SimCapture() {
  {
    std::lock_guard lock(mutex_);
    shuttingDown_ = true;
  }
  wake_.notify_all();
  for (Delivery& delivery : deliveries_) delivery.thread.join();
}

void SimCapture::SetSupported(bool supported) {
  std::lock_guard lock(mutex_);
  supported_ = supported;
}

void SimCapture::SetOcrAvailable(bool available) {
  std::lock_guard lock(mutex_);
  ocrAvailable_ = available;
}

void SimCapture::SetWindowCapture(WindowHandle window, SimWindowCapture capture) {
  std::lock_guard lock(mutex_);
  scenes_[window] = std::move(capture);
}

std::size_t SimCapture::OpenSessionCount() const {
  std::lock_guard lock(mutex_);
  return openSessions_;
}

std::size_t SimCapture::HandlerCount() const {
  std::lock_guard lock(mutex_);
  return handlers_;
}

std::size_t SimCapture::EncodeCount() const {
  std::lock_guard lock(mutex_);
  return encodes_;
}

bool SimCapture::IsCaptureSupported() {
  std::lock_guard lock(mutex_);
  return supported_;
}

std::unique_ptr<CaptureItem> SimCapture::CreateItemForWindow(WindowHandle window) {
  SimWindowCapture scene;
  {
    std::lock_guard lock(mutex_);
    const auto it = scenes_.find(window);
    if (it != scenes_.end()) scene = it->second;
  }
  PixelSize size;
  if (scene.itemSize) {
    size = *scene.itemSize;
  } else {
    const std::optional<Rect> rect = windows_.WindowRect(window);
    if (!rect) throw PlatformError{kEFail};
    size = PixelSize{rect->right - rect->left, rect->bottom - rect->top};
  }
  if (scene.onCreateItem) scene.onCreateItem();
  return std::make_unique<SimCaptureItem>(*this, std::move(scene), size);
}

void SimCapture::StartDelivery(std::shared_ptr<SessionState> session) {
  std::lock_guard lock(mutex_);
  // Deliveries that have ended are joined here, so a long session does not collect threads.
  std::erase_if(deliveries_, [](Delivery& delivery) {
    if (!*delivery.finished) return false;
    delivery.thread.join();
    return true;
  });
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([this, finished, session = std::move(session)] {
    Deliver(*session);
    *finished = true;
  });
  deliveries_.push_back(Delivery{std::move(thread), std::move(finished)});
}

void SimCapture::Deliver(SessionState& session) {
  if (session.scene.onStartCapture) session.scene.onStartCapture();
  if (session.scene.delivery == FrameDelivery::kNone) return;
  if (session.scene.delivery == FrameDelivery::kLate) {
    std::unique_lock lock(mutex_);
    if (wake_.wait_for(lock, session.scene.lateBy, [this] { return shuttingDown_; })) return;
  }
  for (int arrival = 0; arrival < session.scene.arrivals; ++arrival) {
    FrameArrivedHandler handler;
    {
      std::lock_guard lock(session.mutex);
      handler = session.handler;
    }
    if (!handler) return;
    SimFrameSource source(session);
    handler(source);
  }
}

std::unique_ptr<EncodedImage> SimCapture::Encode(Bitmap& bitmap, std::uint32_t width,
                                                 std::uint32_t height, bool png, float quality) {
  {
    std::lock_guard lock(mutex_);
    ++encodes_;
  }
  return std::make_unique<SimEncodedImage>(
      EncodeSimBitmap(static_cast<SimBitmap&>(bitmap), width, height, png, quality));
}

std::optional<std::vector<std::u16string>> SimCapture::RecognizeText(Bitmap& bitmap) {
  {
    std::lock_guard lock(mutex_);
    if (!ocrAvailable_) return std::nullopt;
  }
  return static_cast<SimBitmap&>(bitmap).TextLines();
}

}  // namespace velmora::computer_use::platform::sim
