// Window capture through Windows.Graphics.Capture, encoding through the platform's image
// encoder and text recognition through Windows.Media.Ocr.
#pragma once

#include "platform/win32/win32_api.h"

namespace velmora::computer_use::platform::win32 {

class Win32CaptureApi final : public CaptureApi {
 public:
  bool IsCaptureSupported() override;
  std::unique_ptr<CaptureItem> CreateItemForWindow(WindowHandle window) override;
  std::unique_ptr<EncodedImage> Encode(Bitmap& bitmap, std::uint32_t width, std::uint32_t height,
                                       bool png, float quality) override;
  std::optional<std::vector<std::u16string>> RecognizeText(Bitmap& bitmap) override;
};

}  // namespace velmora::computer_use::platform::win32
