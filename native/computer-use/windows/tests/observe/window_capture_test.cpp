#include "observe/window_capture.h"

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>

#include <csetjmp>
#include <functional>
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

// An encoder whose n-th encoding has the n-th size the test gives and reads back as the byte n.
class SizedEncoder final : public platform::CaptureApi {
 public:
  using Call = std::tuple<bool, float, std::uint32_t, std::uint32_t>;  // PNG, JPEG quality, size
  explicit SizedEncoder(std::vector<std::uint64_t> sizes) : sizes_(std::move(sizes)) {}
  std::vector<Call> calls;

  bool IsCaptureSupported() override { return true; }
  std::unique_ptr<platform::CaptureItem> CreateItemForWindow(WindowHandle) override {
    return nullptr;
  }
  std::unique_ptr<platform::EncodedImage> Encode(platform::Bitmap&, std::uint32_t width,
                                                 std::uint32_t height, bool png,
                                                 float quality) override {
    calls.emplace_back(png, png ? 0.0f : quality, width, height);
    return std::make_unique<Image>(sizes_.at(calls.size() - 1),
                                   static_cast<std::uint8_t>(calls.size()));
  }
  std::optional<std::vector<std::u16string>> RecognizeText(platform::Bitmap&) override {
    return std::nullopt;
  }

 private:
  struct Image final : platform::EncodedImage {
    Image(std::uint64_t size, std::uint8_t tag) : size(size), tag(tag) {}
    std::uint64_t Size() override { return size; }
    std::vector<std::uint8_t> ReadBytes() override { return {tag}; }
    std::uint64_t size;
    std::uint8_t tag;
  };
  std::vector<std::uint64_t> sizes_;
};

// Each row gives the sizes of the encodings the ladder must make, in order; the last is sent.
TEST(EncodeScreenshot, LadderThresholdsToTheByte) {
  const SizedEncoder::Call ladder[] = {{true, 0.0f, 1600, 899},
                                       {false, kFirstJpegQuality, 1600, 899},
                                       {false, kSecondJpegQuality, 1600, 899}};
  const std::pair<std::vector<std::uint64_t>, std::u16string> cases[] = {
      {{kMaxImageBytes}, u"image/png"},
      {{kMaxImageBytes + 1, kJpegReencodeBytes}, u"image/jpeg"},
      {{kMaxImageBytes + 1, kJpegReencodeBytes + 1, 2'000'000}, u"image/jpeg"},
      // Still JPEG when the second is larger than the first.
      {{kMaxImageBytes + 1, kJpegReencodeBytes + 1, kMaxImageBytes}, u"image/jpeg"},
      {{kMaxImageBytes + 1, kJpegReencodeBytes + 1, kMaxImageBytes + 1}, u""},  // refused
  };
  for (const auto& [sizes, mediaType] : cases) {
    SCOPED_TRACE(::testing::PrintToString(sizes));
    SizedEncoder encoder(sizes);
    platform::sim::SimBitmap bitmap({1, 1}, platform::sim::FrameContent::kGradient, {});
    if (mediaType.empty()) {
      EXPECT_EQ(testing::FailureCode([&] { EncodeScreenshot(encoder, bitmap, 1600, 899); }),
                "capability_unavailable");
    } else {
      const EncodedScreenshot encoded = EncodeScreenshot(encoder, bitmap, 1600, 899);
      EXPECT_EQ(encoded.mediaType, mediaType);
      EXPECT_EQ(encoded.bytes, std::vector<std::uint8_t>{static_cast<std::uint8_t>(sizes.size())});
    }
    EXPECT_EQ(encoder.calls, std::vector<SizedEncoder::Call>(ladder, ladder + sizes.size()));
  }
}

// The size of a picture decoded in full with Debian's libraries; zero when it does not decode.
PixelSize DecodePng(const std::vector<std::uint8_t>& bytes) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return {};
  image.format = PNG_FORMAT_RGBA;
  std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return {};
  return {static_cast<std::int32_t>(image.width), static_cast<std::int32_t>(image.height)};
}

PixelSize DecodeJpeg(const std::vector<std::uint8_t>& bytes) {
  struct Failure : jpeg_error_mgr {
    std::jmp_buf jump;
  } failure{};
  jpeg_decompress_struct jpeg{};
  jpeg.err = jpeg_std_error(&failure);
  failure.error_exit = [](j_common_ptr common) {
    std::longjmp(static_cast<Failure*>(common->err)->jump, 1);
  };
  PixelSize size;
  // Nothing with a destructor lives past setjmp: libjpeg's own pool holds the row.
  if (setjmp(failure.jump) == 0) {
    jpeg_create_decompress(&jpeg);
    jpeg_mem_src(&jpeg, bytes.data(), static_cast<unsigned long>(bytes.size()));  // NOLINT
    jpeg_read_header(&jpeg, TRUE);
    jpeg_start_decompress(&jpeg);
    JSAMPARRAY row = (*jpeg.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&jpeg), JPOOL_IMAGE,
                                               jpeg.output_width * jpeg.output_components, 1);
    while (jpeg.output_scanline < jpeg.output_height) jpeg_read_scanlines(&jpeg, row, 1);
    jpeg_finish_decompress(&jpeg);
    size = {static_cast<std::int32_t>(jpeg.output_width),
            static_cast<std::int32_t>(jpeg.output_height)};
  }
  jpeg_destroy_decompress(&jpeg);
  return size;
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
  // The window's capture scene with one change.
  void SetCapture(const std::function<void(SimWindowCapture&)>& change) {
    SimWindowCapture scene;
    change(scene);
    sim_.Capture().SetWindowCapture(window_, scene);
  }
  void ExpectReleased() {
    EXPECT_EQ(sim_.Capture().OpenSessionCount(), 0u);
    EXPECT_EQ(sim_.Capture().HandlerCount(), 0u);
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
  EXPECT_EQ(DecodePng(result.bytes), (PixelSize{1600, 899}));
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
  SetCapture([](SimWindowCapture& scene) { scene.itemSize = PixelSize{1601, 900}; });
  EXPECT_EQ(Code(window_), "stale_observation");
  sim_.Windows().SetWindowRectFails(window_, false);
  SetCapture([](SimWindowCapture& scene) { scene.itemSize = PixelSize{1601, 901}; });
  EXPECT_EQ(Code(window_), "stale_observation");
  // The window goes while its item is made.
  SetCapture([this](SimWindowCapture& scene) {
    scene.onCreateItem = [this] { sim_.Windows().RemoveWindow(window_); };
  });
  EXPECT_EQ(Code(window_), "stale_observation");
  ExpectReleased();
}

TEST_F(WindowCaptureTest, MissingNullAndLateFramesAreUnavailable) {
  for (const FrameDelivery delivery :
       {FrameDelivery::kNone, FrameDelivery::kNullFrame, FrameDelivery::kLate}) {
    SetCapture([&](SimWindowCapture& scene) { scene.delivery = delivery; });
    EXPECT_EQ(Code(window_), "capability_unavailable") << static_cast<int>(delivery);
    ExpectReleased();
  }
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
  EXPECT_EQ(DecodePng(images[0].payload), (PixelSize{1600, 1000}));

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
  EXPECT_EQ(DecodeJpeg(images[0].payload), (PixelSize{1600, 1000}));
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
