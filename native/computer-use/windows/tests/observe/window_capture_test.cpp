#include "observe/window_capture.h"

#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "common/platform_error.h"
#include "support/sim_desktop_test.h"

namespace velmora::computer_use {
namespace {

using platform::PixelSize;
using platform::WindowHandle;
using platform::sim::FrameDelivery;
using platform::sim::SimWindowCapture;

TEST(ScaledCaptureSize, LongestSideAtMost1600Truncated) {
  const std::vector<std::pair<PixelSize, PixelSize>> cases = {
      {{1600, 900}, {1600, 900}},   {{1601, 900}, {1600, 899}}, {{4000, 1}, {1600, 1}},
      {{2156, 1000}, {1599, 742}},  {{900, 1601}, {899, 1600}}, {{1, 1}, {1, 1}},
      {{3200, 3200}, {1600, 1600}},
  };
  for (const auto& [item, expected] : cases) {
    EXPECT_EQ(ScaledCaptureSize(item), expected) << item.width << "x" << item.height;
  }
}

// An encoder whose output sizes the test chooses per format and quality.
class SizedEncoder final : public platform::CaptureApi {
 public:
  struct Call {
    bool png;
    float quality;
    std::uint32_t width;
    std::uint32_t height;
  };
  std::map<std::pair<bool, float>, std::uint64_t> sizes;
  std::vector<Call> calls;

  bool IsCaptureSupported() override { return true; }
  std::unique_ptr<platform::CaptureItem> CreateItemForWindow(WindowHandle) override {
    return nullptr;
  }
  std::unique_ptr<platform::EncodedImage> Encode(platform::Bitmap&, std::uint32_t width,
                                                 std::uint32_t height, bool png,
                                                 float quality) override {
    calls.push_back(Call{png, quality, width, height});
    return std::make_unique<Image>(sizes.at({png, png ? kFirstJpegQuality : quality}),
                                   static_cast<std::uint8_t>(calls.size()));
  }
  std::optional<std::vector<std::u16string>> RecognizeText(platform::Bitmap&) override {
    return std::nullopt;
  }

 private:
  class Image final : public platform::EncodedImage {
   public:
    Image(std::uint64_t size, std::uint8_t tag) : size_(size), tag_(tag) {}
    std::uint64_t Size() override { return size_; }
    std::vector<std::uint8_t> ReadBytes() override { return {tag_}; }

   private:
    std::uint64_t size_;
    std::uint8_t tag_;
  };
};

class NoBitmap final : public platform::Bitmap {
 public:
  std::int32_t Width() const override { return 1; }
  std::int32_t Height() const override { return 1; }
};

TEST(EncodeScreenshot, LadderThresholdsToTheByte) {
  struct Case {
    std::uint64_t png, jpeg72, jpeg45;
    std::u16string mediaType;
    std::uint8_t fromCall;  // which encoding is sent; 0: refused
  };
  const std::vector<Case> cases = {
      {kMaxImageBytes, 1, 1, u"image/png", 1},
      {kMaxImageBytes + 1, kJpegReencodeBytes, 1, u"image/jpeg", 2},
      {kMaxImageBytes + 1, kJpegReencodeBytes + 1, 2'000'000, u"image/jpeg", 3},
      // Still JPEG when the second is larger than the first.
      {kMaxImageBytes + 1, kJpegReencodeBytes + 1, kMaxImageBytes, u"image/jpeg", 3},
      {kMaxImageBytes + 1, kJpegReencodeBytes + 1, kMaxImageBytes + 1, u"", 0},
  };
  for (const Case& test : cases) {
    SizedEncoder encoder;
    encoder.sizes = {{{true, kFirstJpegQuality}, test.png},
                     {{false, kFirstJpegQuality}, test.jpeg72},
                     {{false, kSecondJpegQuality}, test.jpeg45}};
    NoBitmap bitmap;
    if (test.fromCall == 0) {
      EXPECT_EQ(testing::FailureCode([&] { EncodeScreenshot(encoder, bitmap, 1600, 899); }),
                "capability_unavailable");
      continue;
    }
    const EncodedScreenshot encoded = EncodeScreenshot(encoder, bitmap, 1600, 899);
    EXPECT_EQ(encoded.mediaType, test.mediaType);
    EXPECT_EQ(encoded.bytes, std::vector<std::uint8_t>{test.fromCall});
    ASSERT_EQ(encoder.calls.size(), test.fromCall);
    for (const SizedEncoder::Call& call : encoder.calls) {
      EXPECT_EQ(call.width, 1600u);
      EXPECT_EQ(call.height, 899u);
    }
    if (test.fromCall == 3) {
      EXPECT_EQ(encoder.calls[2].quality, kSecondJpegQuality);
    }
  }
}

class WindowCaptureTest : public testing::SimDesktopTest {
 protected:
  WindowCaptureTest() {
    window_ = sim_.Windows().AddWindow(4242, u"Editor");
    sim_.Windows().SetWindowRect(window_, {10, 20, 1611, 920});  // 1601 x 900
  }
  std::string Code(WindowHandle window, bool allowVisual = true) {
    return testing::FailureCode([&] { capture_.CaptureWindow(window, allowVisual); });
  }
  void ExpectReleased() {
    EXPECT_EQ(sim_.Capture().OpenSessionCount(), 0u);
    EXPECT_EQ(sim_.Capture().HandlerCount(), 0u);
  }
  void Deliver(FrameDelivery delivery) {
    SimWindowCapture scene;
    scene.delivery = delivery;
    sim_.Capture().SetWindowCapture(window_, scene);
  }

  WindowCapture capture_{sim_.Get()};
  WindowHandle window_;
};

TEST_F(WindowCaptureTest, ScaledPictureAndAtMostAHundredLines) {
  SimWindowCapture scene;
  for (int i = 0; i < 150; ++i) {
    scene.textLines.push_back(u"line " + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)));
  }
  scene.arrivals = 3;  // later arrivals leave the first frame alone
  sim_.Capture().SetWindowCapture(window_, scene);
  const CaptureResult result = capture_.CaptureWindow(window_, true);
  EXPECT_EQ(result.width, 1600);
  EXPECT_EQ(result.height, 899);
  EXPECT_EQ(result.mediaType, u"image/png");
  ASSERT_GE(result.bytes.size(), 8u);
  EXPECT_EQ(std::vector<std::uint8_t>(result.bytes.begin(), result.bytes.begin() + 8),
            (std::vector<std::uint8_t>{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
  ASSERT_EQ(result.ocrNodes.size(), kMaxOcrLines);
  EXPECT_EQ(result.ocrNodes[0], (Json{{"id", "ocr:0"}, {"role", "text"}, {"name", "line a"}}));
  EXPECT_EQ(result.ocrNodes[99]["id"], "ocr:99");
  ExpectReleased();

  // No recogniser: no nodes and no error.
  sim_.Capture().SetOcrAvailable(false);
  EXPECT_TRUE(capture_.CaptureWindow(window_, true).ocrNodes.empty());
}

TEST_F(WindowCaptureTest, RefusalsInOrder) {
  EXPECT_EQ(Code(static_cast<WindowHandle>(0x999), false), "permission_missing");
  EXPECT_EQ(Code(platform::kNullWindow), "target_not_found");
  EXPECT_EQ(Code(static_cast<WindowHandle>(0x999)), "target_not_found");
  sim_.Capture().SetSupported(false);
  EXPECT_EQ(Code(window_), "capability_unavailable");
  sim_.Capture().SetSupported(true);

  // The frame bounds one pixel short of the item: never a cropped picture.
  sim_.Windows().SetWindowFrameBounds(window_, platform::Rect{10, 20, 1610, 920});
  EXPECT_EQ(Code(window_), "stale_observation");
  // Empty frame bounds fall back to the window rectangle, which matches.
  sim_.Windows().SetWindowFrameBounds(window_, platform::Rect{10, 20, 10, 920});
  EXPECT_NO_THROW(capture_.CaptureWindow(window_, true));
  // Neither is usable: the item alone cannot vouch for the window.
  sim_.Windows().SetWindowFrameBounds(window_, std::nullopt);
  sim_.Windows().SetWindowRectFails(window_, true);
  SimWindowCapture sized;
  sized.itemSize = PixelSize{1601, 900};
  sim_.Capture().SetWindowCapture(window_, sized);
  EXPECT_EQ(Code(window_), "stale_observation");
  sim_.Windows().SetWindowRectFails(window_, false);
  sized.itemSize = PixelSize{1601, 901};
  sim_.Capture().SetWindowCapture(window_, sized);
  EXPECT_EQ(Code(window_), "stale_observation");
  // The window goes while its item is made.
  SimWindowCapture closing;
  closing.onCreateItem = [this] { sim_.Windows().RemoveWindow(window_); };
  sim_.Capture().SetWindowCapture(window_, closing);
  EXPECT_EQ(Code(window_), "stale_observation");
  ExpectReleased();
}

TEST_F(WindowCaptureTest, MissingNullAndLateFramesAreUnavailable) {
  for (const FrameDelivery delivery :
       {FrameDelivery::kNone, FrameDelivery::kNullFrame, FrameDelivery::kLate}) {
    Deliver(delivery);
    EXPECT_EQ(Code(window_), "capability_unavailable") << static_cast<int>(delivery);
    ExpectReleased();
  }
}

}  // namespace
}  // namespace velmora::computer_use
