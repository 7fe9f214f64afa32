// The capture backend under Wine: the encoder runs for real on bitmaps built from pixels, through
// the shared ladder; window capture and text recognition, which Wine lacks, fail cleanly.

// First: it includes <windows.h> and takes back the names of the seam's methods that
// <windows.h> defines as macros, before any seam header is read.
#include "platform/win32/win32_api.h"

#include <gtest/gtest.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/platform_error.h"
#include "observe/window_capture.h"
#include "platform/win32/win32_capture.h"
#include "win32/win32_fixture.h"

namespace velmora::computer_use {
namespace {

using platform::PixelSize;
using platform::win32::Win32Bitmap;
using Bytes = std::vector<std::uint8_t>;

std::unique_ptr<Win32Bitmap> Gradient(std::int32_t width, std::int32_t height) {
  Bytes pixels;
  pixels.reserve(static_cast<std::size_t>(width) * height * 4);
  for (std::int32_t y = 0; y < height; ++y) {
    for (std::int32_t x = 0; x < width; ++x) {
      pixels.push_back(static_cast<std::uint8_t>(x * 255 / (width - 1)));   // blue
      pixels.push_back(static_cast<std::uint8_t>(y * 255 / (height - 1)));  // green
      pixels.push_back(0x40);                                               // red
      pixels.push_back(0xFF);
    }
  }
  return std::make_unique<Win32Bitmap>(width, height, std::move(pixels));
}

// Opaque, with every colour byte random: no encoder compresses it much.
std::unique_ptr<Win32Bitmap> Noise(std::int32_t width, std::int32_t height) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes pixels(static_cast<std::size_t>(width) * height * 4);
  for (std::size_t index = 0; index < pixels.size(); ++index) {
    pixels[index] = index % 4 == 3 ? 0xFF : static_cast<std::uint8_t>(byte(random));
  }
  return std::make_unique<Win32Bitmap>(width, height, std::move(pixels));
}

bool StartsWith(const Bytes& bytes, std::initializer_list<std::uint8_t> prefix) {
  return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

// An encoded image decoded by WIC into BGRA8: its size as its header declares it, and its pixels.
struct Decoded {
  PixelSize size;
  Bytes pixels;
};

Decoded Decode(const Bytes& encoded) {
  Microsoft::WRL::ComPtr<IWICImagingFactory> factory;
  EXPECT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                            __uuidof(IWICImagingFactory), &factory));
  Microsoft::WRL::ComPtr<IWICStream> stream;
  Microsoft::WRL::ComPtr<IWICBitmapDecoder> decoder;
  Microsoft::WRL::ComPtr<IWICBitmapFrameDecode> frame;
  Microsoft::WRL::ComPtr<IWICFormatConverter> converter;
  if (!factory || FAILED(factory->CreateStream(&stream)) ||
      FAILED(stream->InitializeFromMemory(const_cast<BYTE*>(encoded.data()),
                                          static_cast<DWORD>(encoded.size()))) ||
      FAILED(factory->CreateDecoderFromStream(stream.Get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                              &decoder)) ||
      FAILED(decoder->GetFrame(0, &frame)) || FAILED(factory->CreateFormatConverter(&converter)) ||
      FAILED(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppBGRA,
                                   WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeCustom))) {
    ADD_FAILURE() << "WIC cannot decode the image";
    return {};
  }
  UINT width = 0;
  UINT height = 0;
  EXPECT_HRESULT_SUCCEEDED(converter->GetSize(&width, &height));
  Decoded decoded{{static_cast<std::int32_t>(width), static_cast<std::int32_t>(height)},
                  Bytes(static_cast<std::size_t>(width) * height * 4)};
  EXPECT_HRESULT_SUCCEEDED(converter->CopyPixels(
      nullptr, width * 4, static_cast<UINT>(decoded.pixels.size()), decoded.pixels.data()));
  return decoded;
}

class Win32Capture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(apartment_.Entered()); }

  Bytes EncodeBytes(Win32Bitmap& bitmap, PixelSize size, bool png, float quality) {
    const std::unique_ptr<platform::EncodedImage> image =
        capture_.Encode(bitmap, static_cast<std::uint32_t>(size.width),
                        static_cast<std::uint32_t>(size.height), png, quality);
    const std::uint64_t declared = image->Size();
    Bytes bytes = image->ReadBytes();
    EXPECT_EQ(bytes.size(), declared);
    EXPECT_EQ(image->ReadBytes(), bytes) << "a second read starts over";
    return bytes;
  }
  EncodedScreenshot Screenshot(Win32Bitmap& bitmap, PixelSize size) {
    return EncodeScreenshot(capture_, bitmap, static_cast<std::uint32_t>(size.width),
                            static_cast<std::uint32_t>(size.height));
  }

  ComApartment apartment_;
  platform::win32::Win32CaptureApi capture_;
};

TEST_F(Win32Capture, BitmapPixelsMustMatchTheSize) {
  EXPECT_THROW(Win32Bitmap(2, 2, Bytes(15)), PlatformError);
  EXPECT_THROW(Win32Bitmap(0, 4, Bytes()), PlatformError);
  const Win32Bitmap bitmap(3, 2, Bytes(24, 7));
  EXPECT_EQ(bitmap.Width(), 3);
  EXPECT_EQ(bitmap.Height(), 2);
  EXPECT_EQ(bitmap.SoftwareBitmap(), nullptr);
}

TEST_F(Win32Capture, SmallGradientStaysALosslessPng) {
  const std::unique_ptr<Win32Bitmap> bitmap = Gradient(320, 200);
  const PixelSize output = ScaledCaptureSize({320, 200});
  const EncodedScreenshot encoded = Screenshot(*bitmap, output);
  EXPECT_EQ(encoded.mediaType, u"image/png");
  ASSERT_TRUE(StartsWith(encoded.bytes, {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
  const Decoded decoded = Decode(encoded.bytes);
  EXPECT_EQ(decoded.size, output);
  EXPECT_TRUE(decoded.pixels == bitmap->BgraPixels()) << "PNG at the bitmap's own size is lossless";
}

TEST_F(Win32Capture, LargeNoiseFallsBackToJpegWithinTheFrameLimit) {
  const std::unique_ptr<Win32Bitmap> bitmap = Noise(1600, 1200);
  const PixelSize output = ScaledCaptureSize({1600, 1200});
  ASSERT_GT(EncodeBytes(*bitmap, output, true, kFirstJpegQuality).size(), kMaxImageBytes)
      << "the PNG must be too large for the ladder to reach JPEG";
  const EncodedScreenshot encoded = Screenshot(*bitmap, output);
  EXPECT_EQ(encoded.mediaType, u"image/jpeg");
  ASSERT_TRUE(StartsWith(encoded.bytes, {0xFF, 0xD8}));
  EXPECT_LE(encoded.bytes.size(), kMaxImageBytes);
  const Decoded decoded = Decode(encoded.bytes);
  EXPECT_EQ(decoded.size, output);
  EXPECT_EQ(decoded.pixels.size(), bitmap->BgraPixels().size());
  RecordProperty("jpegBytes", static_cast<int>(encoded.bytes.size()));
}

TEST_F(Win32Capture, EncoderScalesToTheRequestedSize) {
  const std::unique_ptr<Win32Bitmap> bitmap = Gradient(300, 200);
  const Bytes jpeg = EncodeBytes(*bitmap, {120, 80}, false, kFirstJpegQuality);
  ASSERT_TRUE(StartsWith(jpeg, {0xFF, 0xD8}));
  EXPECT_EQ(Decode(jpeg).size, (PixelSize{120, 80}));
  const Bytes png = EncodeBytes(*bitmap, {150, 100}, true, kFirstJpegQuality);
  ASSERT_TRUE(StartsWith(png, {0x89, 'P', 'N', 'G'}));
  // The halved gradient still runs left to right in blue and top to bottom in green.
  const Decoded decoded = Decode(png);
  ASSERT_EQ(decoded.size, (PixelSize{150, 100}));
  const auto at = [&decoded](int x, int y, int channel) {
    return static_cast<int>(decoded.pixels[(static_cast<std::size_t>(y) * 150 + x) * 4 + channel]);
  };
  EXPECT_LT(at(0, 0, 0), 8);
  EXPECT_GT(at(149, 0, 0), 247);
  EXPECT_LT(at(0, 0, 1), 8);
  EXPECT_GT(at(0, 99, 1), 247);
  EXPECT_NEAR(at(75, 50, 2), 0x40, 2);
}

TEST_F(Win32Capture, LowerJpegQualityGivesFewerBytes) {
  const std::unique_ptr<Win32Bitmap> bitmap = Noise(640, 480);
  const Bytes better = EncodeBytes(*bitmap, {640, 480}, false, kFirstJpegQuality);
  const Bytes smaller = EncodeBytes(*bitmap, {640, 480}, false, kSecondJpegQuality);
  EXPECT_EQ(Decode(better).size, (PixelSize{640, 480}));
  EXPECT_EQ(Decode(smaller).size, (PixelSize{640, 480}));
  ASSERT_LE(smaller.size(), better.size());
  if (RunningUnderWine() && smaller.size() == better.size()) {
    // Wine's JPEG encoder offers the ImageQuality option but keeps libjpeg's default quality.
    GTEST_SKIP() << "Wine ignores ImageQuality: " << better.size() << " bytes at either quality";
  }
  EXPECT_LT(smaller.size(), better.size());
}

TEST_F(Win32Capture, RecognitionOfAGradientFindsNoTextWithOrWithoutAnEngine) {
  const std::unique_ptr<Win32Bitmap> bitmap = Gradient(64, 48);
  std::vector<Json> lines(1);
  ASSERT_NO_THROW(lines = RecognizeText(capture_, *bitmap));
  EXPECT_TRUE(lines.empty());
}

TEST_F(Win32Capture, EngineFindsNoLinesInAGradient) {
  const std::unique_ptr<Win32Bitmap> bitmap = Gradient(64, 48);
  std::optional<std::vector<std::u16string>> lines;
  ASSERT_NO_THROW(lines = capture_.RecognizeText(*bitmap));
  // Wine 10 has no recogniser: no engine, so no lines at all.
  if (!lines) GTEST_SKIP() << "no text recognition engine";
  EXPECT_TRUE(lines->empty());
}

TEST_F(Win32Capture, ItemForAWindowWhereCaptureIsSupported) {
  const HWND window = CreateWindowExW(0, L"STATIC", L"capture target", WS_OVERLAPPEDWINDOW, 0, 0,
                                      200, 120, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  // Without capture support (Wine 10 registers the item class with no factory behind it) the
  // call fails with the platform's code instead of crashing.
  std::int32_t failure = S_OK;
  platform::PixelSize size;
  try {
    size = capture_.CreateItemForWindow(platform::win32::FromHwnd(window))->Size();
  } catch (const PlatformError& error) {
    failure = error.hresult;
  }
  DestroyWindow(window);
  // Wine 10 has the session's factory, but it answers that capture is not supported.
  const bool supported = capture_.IsCaptureSupported();
  RecordProperty("captureSupported", supported ? "true" : "false");
  if (supported) {
    EXPECT_EQ(failure, S_OK);
    EXPECT_GT(size.width, 0);
  } else {
    EXPECT_TRUE(FAILED(failure));
  }
  char hex[11] = {};
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(failure));
  RecordProperty("createForWindow", hex);
}

}  // namespace
}  // namespace velmora::computer_use
