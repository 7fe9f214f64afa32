// Window capture through Windows.Graphics.Capture, encoding through the Windows Imaging
// Component (the engine beneath the WinRT bitmap encoder) and text recognition through
// Windows.Media.Ocr.
#pragma once

#include <wrl/client.h>

#include <cstdint>
#include <vector>

#include "platform/win32/win32_api.h"

namespace ABI::Windows::Graphics::Imaging {
struct ISoftwareBitmap;
}

namespace velmora::computer_use::platform::win32 {

// BGRA8 pixels, top-down and tightly packed, with the system bitmap they were copied from when
// there is one: text recognition reads that one rather than a new copy.
class Win32Bitmap final : public Bitmap {
 public:
  // Throws PlatformError{E_INVALIDARG} unless there are width * height * 4 bytes.
  Win32Bitmap(std::int32_t width, std::int32_t height, std::vector<std::uint8_t> bgraPixels);
  // Copies the pixels of a BGRA8 system bitmap and keeps a reference to it.
  explicit Win32Bitmap(ABI::Windows::Graphics::Imaging::ISoftwareBitmap& softwareBitmap);
  Win32Bitmap(const Win32Bitmap&) = delete;
  Win32Bitmap& operator=(const Win32Bitmap&) = delete;
  ~Win32Bitmap() override;

  std::int32_t Width() const override { return width_; }
  std::int32_t Height() const override { return height_; }
  const std::vector<std::uint8_t>& BgraPixels() const { return pixels_; }
  // Null for a bitmap made from pixels.
  ABI::Windows::Graphics::Imaging::ISoftwareBitmap* SoftwareBitmap() const;

 private:
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  std::vector<std::uint8_t> pixels_;
  Microsoft::WRL::ComPtr<ABI::Windows::Graphics::Imaging::ISoftwareBitmap> softwareBitmap_;
};

class Win32CaptureApi final : public CaptureApi {
 public:
  bool IsCaptureSupported() override;
  std::unique_ptr<CaptureItem> CreateItemForWindow(WindowHandle window) override;
  // The bitmap must be a Win32Bitmap.
  std::unique_ptr<EncodedImage> Encode(Bitmap& bitmap, std::uint32_t width, std::uint32_t height,
                                       bool png, float quality) override;
  // The bitmap must be a Win32Bitmap.
  std::optional<std::vector<std::u16string>> RecognizeText(Bitmap& bitmap) override;
};

}  // namespace velmora::computer_use::platform::win32
