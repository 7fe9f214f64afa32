#include "platform/win32/win32_capture.h"

#include "platform_error.h"

namespace velmora::computer_use::platform::win32 {

bool Win32CaptureApi::IsCaptureSupported() {
  return false;
}

std::unique_ptr<CaptureItem> Win32CaptureApi::CreateItemForWindow(WindowHandle /*window*/) {
  throw PlatformError{E_NOTIMPL};
}

std::unique_ptr<EncodedImage> Win32CaptureApi::Encode(Bitmap& /*bitmap*/, std::uint32_t /*width*/,
                                                      std::uint32_t /*height*/, bool /*png*/,
                                                      float /*quality*/) {
  throw PlatformError{E_NOTIMPL};
}

std::optional<std::vector<std::u16string>> Win32CaptureApi::RecognizeText(Bitmap& /*bitmap*/) {
  return std::nullopt;
}

}  // namespace velmora::computer_use::platform::win32
