// Encoding through the Windows Imaging Component, the engine beneath the WinRT bitmap encoder.
#include <objidl.h>
#include <wincodec.h>

#include <algorithm>
#include <limits>

#include "platform/win32/win32_capture.h"
#include "platform/win32/win32_capture_internal.h"

namespace velmora::computer_use::platform::win32 {
namespace {

// An encoded image in a memory stream.
class Win32EncodedImage final : public EncodedImage {
 public:
  explicit Win32EncodedImage(wrl::ComPtr<IStream> stream) : stream_(std::move(stream)) {}

  std::uint64_t Size() override {
    STATSTG status{};
    Check(stream_->Stat(&status, STATFLAG_NONAME));
    return status.cbSize.QuadPart;
  }

  std::vector<std::uint8_t> ReadBytes() override {
    const std::uint64_t size = Size();
    if (size > std::numeric_limits<std::size_t>::max()) throw PlatformError{E_OUTOFMEMORY};
    LARGE_INTEGER start{};
    Check(stream_->Seek(start, STREAM_SEEK_SET, nullptr));
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    std::size_t filled = 0;
    while (filled < bytes.size()) {
      const auto chunk = static_cast<ULONG>(
          std::min<std::size_t>(bytes.size() - filled, std::numeric_limits<ULONG>::max()));
      ULONG read = 0;
      Check(stream_->Read(bytes.data() + filled, chunk, &read));
      if (read == 0) throw PlatformError{HRESULT_FROM_WIN32(ERROR_HANDLE_EOF)};
      filled += read;
    }
    return bytes;
  }

 private:
  wrl::ComPtr<IStream> stream_;
};

void SetJpegQuality(IPropertyBag2& options, float quality) {
  PROPBAG2 name{};
  name.pstrName = const_cast<LPOLESTR>(L"ImageQuality");
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_R4;
  value.fltVal = quality;
  Check(options.Write(1, &name, &value));
}

}  // namespace

std::unique_ptr<EncodedImage> Win32CaptureApi::Encode(Bitmap& bitmap, std::uint32_t width,
                                                      std::uint32_t height, bool png,
                                                      float quality) {
  const auto& source = static_cast<const Win32Bitmap&>(bitmap);
  wrl::ComPtr<IWICImagingFactory> factory;
  Check(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                         __uuidof(IWICImagingFactory), &factory));
  const std::vector<std::uint8_t>& pixels = source.BgraPixels();
  wrl::ComPtr<IWICBitmap> original;
  // The factory copies the pixels; it never writes through the pointer.
  Check(factory->CreateBitmapFromMemory(
      static_cast<UINT>(source.Width()), static_cast<UINT>(source.Height()),
      GUID_WICPixelFormat32bppBGRA, static_cast<UINT>(source.Width() * kBytesPerPixel),
      static_cast<UINT>(pixels.size()), const_cast<BYTE*>(pixels.data()), &original));
  wrl::ComPtr<IWICBitmapScaler> scaler;
  Check(factory->CreateBitmapScaler(&scaler));
  Check(scaler->Initialize(original.Get(), width, height, WICBitmapInterpolationModeFant));

  wrl::ComPtr<IStream> stream;
  Check(CreateStreamOnHGlobal(nullptr, TRUE, &stream));
  wrl::ComPtr<IWICBitmapEncoder> encoder;
  Check(factory->CreateEncoder(png ? GUID_ContainerFormatPng : GUID_ContainerFormatJpeg, nullptr,
                               &encoder));
  Check(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache));
  wrl::ComPtr<IWICBitmapFrameEncode> frame;
  wrl::ComPtr<IPropertyBag2> options;
  Check(encoder->CreateNewFrame(&frame, &options));
  if (!png) SetJpegQuality(*options.Get(), quality);
  Check(frame->Initialize(options.Get()));
  Check(frame->SetSize(width, height));
  // The encoder answers with the nearest format it writes; JPEG has no alpha.
  WICPixelFormatGUID format = png ? GUID_WICPixelFormat32bppBGRA : GUID_WICPixelFormat24bppBGR;
  Check(frame->SetPixelFormat(&format));
  wrl::ComPtr<IWICBitmapSource> scaled;
  Check(scaler.As(&scaled));
  if (!IsEqualGUID(format, GUID_WICPixelFormat32bppBGRA)) {
    wrl::ComPtr<IWICFormatConverter> converter;
    Check(factory->CreateFormatConverter(&converter));
    Check(converter->Initialize(scaled.Get(), format, WICBitmapDitherTypeNone, nullptr, 0.0,
                                WICBitmapPaletteTypeCustom));
    Check(converter.As(&scaled));
  }
  Check(frame->WriteSource(scaled.Get(), nullptr));
  Check(frame->Commit());
  Check(encoder->Commit());
  return std::make_unique<Win32EncodedImage>(std::move(stream));
}

}  // namespace velmora::computer_use::platform::win32
