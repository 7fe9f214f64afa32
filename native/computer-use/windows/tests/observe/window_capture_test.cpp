#include "observe/window_capture.h"

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>

#include <csetjmp>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "common/platform_error.h"
#include "frame_codec.h"
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

struct Decoded {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

std::optional<Decoded> DecodePng(const std::vector<std::uint8_t>& bytes) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return std::nullopt;
  image.format = PNG_FORMAT_RGBA;
  std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return std::nullopt;
  return Decoded{image.width, image.height};
}

struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

std::optional<Decoded> DecodeJpeg(const std::vector<std::uint8_t>& bytes) {
  jpeg_decompress_struct jpeg{};
  JpegError error{};
  jpeg.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = [](j_common_ptr common) {
    std::longjmp(reinterpret_cast<JpegError*>(common->err)->jump, 1);
  };
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&jpeg);
    return std::nullopt;
  }
  jpeg_create_decompress(&jpeg);
  jpeg_mem_src(&jpeg, bytes.data(), static_cast<unsigned long>(bytes.size()));  // NOLINT
  jpeg_read_header(&jpeg, TRUE);
  jpeg_start_decompress(&jpeg);
  std::vector<std::uint8_t> row(std::size_t{jpeg.output_width} * jpeg.output_components);
  while (jpeg.output_scanline < jpeg.output_height) {
    JSAMPROW rows[] = {row.data()};
    jpeg_read_scanlines(&jpeg, rows, 1);
  }
  const Decoded decoded{jpeg.output_width, jpeg.output_height};
  jpeg_finish_decompress(&jpeg);
  jpeg_destroy_decompress(&jpeg);
  return decoded;
}

// "observe" through the service on the default scene: the screenshot's binary frame right after
// its response, decoded with Debian's libraries, and the limit of the attachment's id.
class ObserveScreenshotTest : public testing::SimDesktopTest {
 protected:
  void SetUp() override { Scene("default"); }

  struct Attachment {
    std::size_t jsonFramesBefore;
    std::string id;
    std::vector<std::uint8_t> payload;
  };
  // Read back with the parent's own decoder, which also checks every frame's bytes.
  std::vector<Attachment> Attachments() const {
    const std::vector<std::uint8_t> bytes = output_.Bytes();
    client::FrameDecoder decoder;
    decoder.Feed(bytes.data(), bytes.size());
    std::vector<Attachment> found;
    std::size_t jsonFrames = 0;
    while (std::optional<client::ClientFrame> frame = decoder.Next()) {
      if (frame->kind == client::kJsonFrameKind) {
        ++jsonFrames;
      } else {
        found.push_back({jsonFrames, frame->binaryId, std::move(frame->payload)});
      }
    }
    EXPECT_FALSE(decoder.Error()) << *decoder.Error();
    EXPECT_EQ(decoder.PendingBytes(), 0u);
    return found;
  }
  // The response to a request with this id.
  Json ObserveAs(const std::string& id, const Json& payload) {
    const Json frame{
        {"type", "request"}, {"requestId", id}, {"method", "observe"}, {"payload", payload}};
    Service().ServeRequest(CheckRequestEnvelope(frame), frame);
    return output_.JsonFrames().back();
  }
};

TEST_F(ObserveScreenshotTest, ForegroundWithScreenshotAndTextLines) {
  const Json response = ObserveAs("shot-1", {{"scope", "foreground"}, {"allowVisual", true}});
  ASSERT_EQ(response["ok"], true) << response.dump();
  const Json& result = response["result"];
  EXPECT_EQ(result["scope"], "foreground");
  EXPECT_FALSE(result.contains("windows"));
  EXPECT_EQ(result["stateHash"].get<std::string>().size(), 64u);
  EXPECT_FALSE(result["id"].get<std::string>().empty());
  EXPECT_GT(result["capturedAt"].get<double>(), 1.7e12);
  EXPECT_EQ(result["foreground"]["appIdentity"],
            "exe_path_sha256:f3e793a8220f8ded61916257b61710f1e8b929b6a99af7c3e549817dab2ad5a0");
  EXPECT_EQ(result["foreground"]["appName"], "Velmora.exe");
  EXPECT_EQ(result["foreground"]["windowTitle"], "Velmora Demo");
  const Json& interaction = result["interaction"];
  EXPECT_EQ(interaction["id"].get<std::string>().size(), 38u);
  EXPECT_EQ(interaction["generation"], 0);
  EXPECT_EQ(interaction["epoch"], interaction["id"]);
  EXPECT_TRUE(result["topologyGeneration"].is_number());
  EXPECT_EQ(result["windowBounds"],
            (Json{{"x", 100}, {"y", 60}, {"width", 1600}, {"height", 1000}}));
  EXPECT_EQ(result["targetsTruncated"], false);

  // The element nodes first, then the text lines.
  const Json& targets = result["targets"];
  ASSERT_EQ(targets.size(), 6u + 3u);
  EXPECT_EQ(targets[1]["name"], "Ready");
  EXPECT_EQ(targets[6], (Json{{"id", "ocr:0"}, {"role", "text"}, {"name", "Velmora Demo"}}));
  EXPECT_EQ(targets[8]["id"], "ocr:2");

  // A 1600x1000 window is not scaled; the picture follows its response, before any other frame.
  EXPECT_EQ(result["screenshot"], (Json{{"binaryRequestId", "image:shot-1"},
                                        {"mediaType", "image/png"},
                                        {"width", 1600},
                                        {"height", 1000}}));
  const std::vector<Attachment> images = Attachments();
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0].id, "image:shot-1");
  EXPECT_EQ(images[0].jsonFramesBefore, output_.JsonFrames().size());
  const std::optional<Decoded> decoded = DecodePng(images[0].payload);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 1600u);
  EXPECT_EQ(decoded->height, 1000u);

  // A second observation keeps the window's record.
  const Json again = Request("observe", {{"scope", "foreground"}});
  EXPECT_EQ(again["interaction"], interaction);
  EXPECT_FALSE(again.contains("screenshot"));
  EXPECT_NE(again["id"], result["id"]);
}

TEST_F(ObserveScreenshotTest, LargeNoisyWindowGoesAsJpegWithAHundredLines) {
  const Json result =
      Request("observe",
              {{"scope", "application"},
               {"appIdentity",
                "exe_path_sha256:45b41e87b437da2f6da4256acaac1ecece16fcb659ffaf6dc6b2e63c6022d759"},
               {"allowVisual", true}});
  EXPECT_EQ(result["screenshot"]["mediaType"], "image/jpeg");
  const Json& targets = result["targets"];
  ASSERT_GE(targets.size(), 101u);
  for (std::size_t i = 0; i < 100; ++i) {
    EXPECT_EQ(targets[targets.size() - 100 + i]["id"], "ocr:" + std::to_string(i));
  }
  EXPECT_NE(targets[targets.size() - 101]["id"].get<std::string>().rfind("ocr:", 0), 0u);
  const std::vector<Attachment> images = Attachments();
  ASSERT_EQ(images.size(), 1u);
  EXPECT_LE(images[0].payload.size(), 4'194'304u);
  const std::optional<Decoded> decoded = DecodeJpeg(images[0].payload);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 1600u);
  EXPECT_EQ(decoded->height, 1000u);
}

// An attachment id of 128 bytes is sent; one byte more fails the request with one response and
// no picture, while the same id without a picture is answered.
TEST_F(ObserveScreenshotTest, AttachmentIdLimit) {
  const std::string longest(122, 'r');
  EXPECT_EQ(ObserveAs(longest, {{"scope", "foreground"}, {"allowVisual", true}})["ok"], true);
  const std::string tooLong(123, 'r');
  EXPECT_EQ(ObserveAs(tooLong, {{"scope", "foreground"}, {"allowVisual", true}})["error"],
            "native_helper_request_failed");
  EXPECT_EQ(ObserveAs(tooLong, {{"scope", "foreground"}})["ok"], true);
  EXPECT_EQ(output_.JsonFrames().size(), 3u);
  const std::vector<Attachment> images = Attachments();
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0].id, "image:" + longest);
}

TEST_F(ObserveScreenshotTest, ForegroundLeavingDuringTheScreenshotIsStale) {
  Scene("foreground_moves");
  const Json response = ObserveAs("shot-1", {{"scope", "foreground"}, {"allowVisual", true}});
  EXPECT_EQ(response["error"], "stale_observation") << response.dump();
  EXPECT_TRUE(Attachments().empty());
}

}  // namespace
}  // namespace velmora::computer_use
