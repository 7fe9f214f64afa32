// "observe" through the real Linux helper where the wire matters: the screenshot's binary frame
// after its response, decoded with Debian's libraries, and the attachment id's limit.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>

#include <chrono>
#include <csetjmp>
#include <optional>
#include <string>
#include <vector>

#include "helper_client.h"

namespace velmora::computer_use {
namespace {

using client::ClientFrame;
using client::HelperClient;
using client::HelperProcess;
using client::LaunchOptions;
using nlohmann::json;
using std::chrono::seconds;

const std::string kVelmora =
    "exe_path_sha256:f3e793a8220f8ded61916257b61710f1e8b929b6a99af7c3e549817dab2ad5a0";
const std::string kReport =
    "exe_path_sha256:45b41e87b437da2f6da4256acaac1ecece16fcb659ffaf6dc6b2e63c6022d759";

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

bool IsResponseTo(const ClientFrame& frame, const std::string& id) {
  return frame.kind == client::kJsonFrameKind && frame.json.value("type", "") == "response" &&
         frame.json.value("requestId", "") == id;
}

class ObserveEndToEndTest : public ::testing::Test {
 protected:
  HelperClient& Start(const std::string& scene = "default") {
    client_ = std::make_unique<HelperClient>(HelperProcess::Launch(
        VELMORA_HELPER_PATH, LaunchOptions{{}, {{"VELMORA_SIM_SCENE", scene}}}));
    client_->Handshake();
    return *client_;
  }
  json Observe(const json& payload, const std::string& id = "") {
    return client_->Request("observe", payload, seconds(10),
                            id.empty() ? std::nullopt : std::optional(id));
  }

  // The binary frame after the response to `id`, with no other response between them.
  std::optional<ClientFrame> AttachmentOf(const std::string& id) {
    const auto response =
        client_->WaitFor([&](const ClientFrame& f) { return IsResponseTo(f, id); }, seconds(5));
    if (!response) return std::nullopt;
    const auto binary = client_->WaitFor(
        [](const ClientFrame& f) {
          return f.kind == client::kBinaryFrameKind || f.json.value("type", "") == "response";
        },
        seconds(5), *response + 1);
    if (!binary) return std::nullopt;
    const ClientFrame frame = client_->Frames()[*binary];
    if (frame.kind != client::kBinaryFrameKind) return std::nullopt;
    return frame;
  }

  std::unique_ptr<HelperClient> client_;
};

TEST_F(ObserveEndToEndTest, ForegroundWithScreenshotAndTextLines) {
  Start();
  const json response = Observe({{"scope", "foreground"}, {"allowVisual", true}}, "shot-1");
  ASSERT_EQ(response["ok"], true) << response.dump();
  const json& result = response["result"];
  EXPECT_EQ(result["scope"], "foreground");
  EXPECT_FALSE(result.contains("windows"));
  EXPECT_EQ(result["stateHash"].get<std::string>().size(), 64u);
  EXPECT_FALSE(result["id"].get<std::string>().empty());
  EXPECT_GT(result["capturedAt"].get<double>(), 1.7e12);
  EXPECT_EQ(result["foreground"]["appIdentity"], kVelmora);
  EXPECT_EQ(result["foreground"]["appName"], "Velmora.exe");
  EXPECT_EQ(result["foreground"]["windowTitle"], "Velmora Demo");
  const json& interaction = result["interaction"];
  EXPECT_EQ(interaction["id"].get<std::string>().size(), 38u);
  EXPECT_EQ(interaction["generation"], 0);
  EXPECT_EQ(interaction["epoch"], interaction["id"]);
  EXPECT_TRUE(result["topologyGeneration"].is_number());
  EXPECT_EQ(result["windowBounds"],
            (json{{"x", 100}, {"y", 60}, {"width", 1600}, {"height", 1000}}));
  EXPECT_EQ(result["targetsTruncated"], false);

  // The element nodes first, then the text lines.
  const json& targets = result["targets"];
  ASSERT_EQ(targets.size(), 6u + 3u);
  EXPECT_EQ(targets[1]["name"], "Ready");
  EXPECT_EQ(targets[6], (json{{"id", "ocr:0"}, {"role", "text"}, {"name", "Velmora Demo"}}));
  EXPECT_EQ(targets[8]["id"], "ocr:2");

  // A 1600x1000 window is not scaled; the picture follows its response.
  EXPECT_EQ(result["screenshot"], (json{{"binaryRequestId", "image:shot-1"},
                                        {"mediaType", "image/png"},
                                        {"width", 1600},
                                        {"height", 1000}}));
  const std::optional<ClientFrame> image = AttachmentOf("shot-1");
  ASSERT_TRUE(image);
  EXPECT_EQ(image->binaryId, "image:shot-1");
  const std::optional<Decoded> decoded = DecodePng(image->payload);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 1600u);
  EXPECT_EQ(decoded->height, 1000u);

  // A second observation keeps the window's record.
  const json again = Observe({{"scope", "foreground"}});
  EXPECT_EQ(again["result"]["interaction"], interaction);
  EXPECT_FALSE(again["result"].contains("screenshot"));
  EXPECT_NE(again["result"]["id"], result["id"]);
}

TEST_F(ObserveEndToEndTest, LargeNoisyWindowGoesAsJpegWithAHundredLines) {
  Start();
  const json response =
      Observe({{"scope", "application"}, {"appIdentity", kReport}, {"allowVisual", true}}, "big");
  ASSERT_EQ(response["ok"], true) << response.dump().substr(0, 300);
  const json& result = response["result"];
  EXPECT_EQ(result["screenshot"]["mediaType"], "image/jpeg");
  const json& targets = result["targets"];
  ASSERT_GE(targets.size(), 100u);
  for (std::size_t i = 0; i < 100; ++i) {
    EXPECT_EQ(targets[targets.size() - 100 + i]["id"], "ocr:" + std::to_string(i));
  }
  EXPECT_NE(targets[targets.size() - 101]["id"].get<std::string>().rfind("ocr:", 0), 0u);
  const std::optional<ClientFrame> image = AttachmentOf("big");
  ASSERT_TRUE(image);
  EXPECT_LE(image->payload.size(), 4'194'304u);
  const std::optional<Decoded> decoded = DecodeJpeg(image->payload);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 1600u);
  EXPECT_EQ(decoded->height, 1000u);
}

TEST_F(ObserveEndToEndTest, AttachmentIdLimit) {
  Start();
  // An attachment id of 128 bytes is sent; one byte more fails the request with one response
  // and no picture, while the same id without a picture is answered.
  const std::string longest(122, 'r');
  EXPECT_EQ(Observe({{"scope", "foreground"}, {"allowVisual", true}}, longest)["ok"], true);
  EXPECT_TRUE(AttachmentOf(longest));
  const std::string tooLong(123, 'r');
  EXPECT_EQ(Observe({{"scope", "foreground"}, {"allowVisual", true}}, tooLong)["error"],
            "native_helper_request_failed");
  EXPECT_EQ(Observe({{"scope", "foreground"}}, tooLong)["ok"], true);
  int responses = 0;
  int pictures = 0;
  for (const ClientFrame& frame : client_->Frames()) {
    responses += IsResponseTo(frame, tooLong) ? 1 : 0;
    pictures += frame.kind == client::kBinaryFrameKind ? 1 : 0;
  }
  EXPECT_EQ(responses, 2);
  EXPECT_EQ(pictures, 1);
}

}  // namespace
}  // namespace velmora::computer_use
