// Frame codec: the bytes on the wire, the limits, the error codes, chunking and the writer lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <future>
#include <latch>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "frame_codec.h"
#include "protocol/frame_protocol.h"
#include "protocol/json.h"
#include "support/fake_streams.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "platform/sim/sim_process.h"
#endif

namespace velmora::computer_use {
namespace {

// The parent's codec, written apart from the helper's, encodes the input and the expected bytes.
using client::EncodeBinaryFrame;
using client::EncodeRawFrame;
using fakes::FakeInput;
using fakes::FakeOutput;
using platform::IoStatus;
using testing::FailureCode;
using Bytes = std::vector<std::uint8_t>;
using namespace std::string_literals;

// The documented limits, written out: a change to the constants must break these tests.
constexpr std::size_t kMaxFrame = 4'194'435;
constexpr std::size_t kMaxJsonText = 1'048'576;
constexpr std::size_t kMaxPayload = 4'194'304;
constexpr std::size_t kChunk = 65'536;

Bytes Cut(Bytes bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
}

// Only the four length bytes.
Bytes Header(std::uint32_t length) {
  return Cut(EncodeRawFrame(length, 0, ""), 4);
}

// Any text, valid or not, as a JSON frame.
Bytes EncodeJson(std::string_view text) {
  return EncodeRawFrame(static_cast<std::uint32_t>(text.size() + 1), 1, text);
}

// A JSON object of exactly `size` bytes of text: {"a":"xxx..."}.
std::string JsonTextOfSize(std::size_t size) {
  return "{\"a\":\"" + std::string(size - 8, 'x') + "\"}";
}

Bytes Pattern(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<std::uint8_t>(random());
  return out;
}

void ExpectFrame(const std::optional<Frame>& actual, const Frame& expected) {
  ASSERT_TRUE(actual.has_value());
  EXPECT_EQ(actual->kind, expected.kind);
  EXPECT_EQ(actual->json, expected.json);
  EXPECT_EQ(actual->requestId, expected.requestId);
  EXPECT_TRUE(actual->payload == expected.payload) << "payload bytes differ";
}

// Every read or write asked for at least one byte and at most 64 KiB.
bool AllWithinChunk(const std::vector<std::size_t>& sizes) {
  return std::ranges::all_of(sizes, [](std::size_t n) { return n >= 1 && n <= kChunk; });
}

std::string ReadCode(const Bytes& data, IoStatus end = IoStatus::kOk) {
  FakeInput input(data, {}, end);
  FrameReader reader(input);
  return FailureCode([&] { reader.Read(); });
}

// ---------------------------------------------------------------------------------------------
// Reader.

TEST(FrameReaderTest, MalformedInputThrowsItsCode) {
  // The JSON text itself is judged by ParseJsonObject (json_envelopes_test); these rows check
  // that the reader hands it exactly the text, and to the strict parser.
  const std::tuple<const char*, Bytes, const char*> rows[] = {
      {"LengthZero", Header(0), "frame_too_large"},
      {"LengthZeroFollowedByBytes", EncodeRawFrame(0, 1, "{}"), "frame_too_large"},
      // Only the header: the length must be judged before the body is awaited.
      {"LengthOnePastMaximum", Header(kMaxFrame + 1), "frame_too_large"},
      {"LengthAllOnes", Header(0xFFFFFFFF), "frame_too_large"},
      {"LengthHighByteOnly", Header(0x01000000), "frame_too_large"},
      {"EndAfterHeader", Header(5), "truncated_frame"},
      {"EndInsideJsonBody", EncodeRawFrame(10, 1, "{\"a\""), "truncated_frame"},
      {"EndOneByteShortOfBinaryBody", Cut(EncodeBinaryFrame("req", Pattern(100'000, 1)), 100'009),
       "truncated_frame"},
      {"MaximumLengthJudgedAsJson", EncodeJson(JsonTextOfSize(kMaxFrame - 1)),
       "json_frame_too_large"},
      {"JsonTextOnePastLimit", EncodeJson(JsonTextOfSize(kMaxJsonText + 1)),
       "json_frame_too_large"},
      {"JsonEmptyText", EncodeJson(""), "invalid_json_frame"},
      {"JsonTrailingNul", EncodeJson("{}\0"s), "invalid_json_frame"},
      {"JsonByteOrderMark", EncodeJson("\xEF\xBB\xBF{}"), "invalid_json_frame"},
      {"BinaryLengthOne", EncodeRawFrame(1, 2, ""), "invalid_frame_kind"},
      {"BinaryLengthTwo", EncodeRawFrame(2, 2, "\0"s), "invalid_frame_kind"},
      {"BinaryIdLengthZero", EncodeRawFrame(4, 2, "\0\0x"s), "invalid_request_id"},
      {"BinaryIdLength129", EncodeRawFrame(3 + 129 + 1, 2, "\0\x81"s + std::string(130, 'i')),
       "invalid_request_id"},
      // 01 00 is 256 big-endian (1 if read the other way round).
      {"BinaryIdLength256", EncodeRawFrame(3 + 256, 2, "\1\0"s + std::string(256, 'i')),
       "invalid_request_id"},
      {"BinaryIdPastFrameEnd", EncodeRawFrame(3 + 4, 2, "\0\5abcd"s), "invalid_request_id"},
      {"BinaryPayloadOnePastLimit", EncodeBinaryFrame("r", Bytes(kMaxPayload + 1, 7)),
       "binary_frame_too_large"},
      {"KindZero", EncodeRawFrame(3, 0, "{}"), "invalid_frame_kind"},
      {"KindThree", EncodeRawFrame(3, 3, "{}"), "invalid_frame_kind"},
      {"KindFF", EncodeRawFrame(3, 0xFF, "{}"), "invalid_frame_kind"},
      {"KindThreeAtMaximumLength", EncodeRawFrame(kMaxFrame, 3, std::string(kMaxFrame - 1, '\0')),
       "invalid_frame_kind"}};
  for (const auto& [name, input, code] : rows) EXPECT_EQ(ReadCode(input), code) << name;
}

TEST(FrameReaderTest, EndOfInputAndFailedReads) {
  const Bytes frame = EncodeBinaryFrame("id", Pattern(200'000, 5));
  for (const IoStatus end : {IoStatus::kOk, IoStatus::kBrokenPipe}) {
    // A header cut anywhere after a whole frame is a clean end; a cut body is not.
    for (std::size_t cut = 0; cut < 4; ++cut) {
      SCOPED_TRACE(::testing::Message()
                   << "end status " << static_cast<int>(end) << ", cut " << cut);
      const Bytes json = EncodeJson("{}");
      FakeInput input(Cut(json, json.size() + cut), {}, end);  // the header's first bytes are 0
      FrameReader reader(input);
      ExpectFrame(reader.Read(), {FrameKind::Json, Json::object(), {}, {}});
      EXPECT_FALSE(reader.Read().has_value());
    }
    EXPECT_EQ(ReadCode(Cut(frame, 4 + 500), end), "truncated_frame") << static_cast<int>(end);
  }
  // Fails at the first byte, inside the header, at the body's start, and in a later chunk.
  for (const std::size_t at : {0, 2, 4, 150'000}) {
    EXPECT_EQ(ReadCode(Cut(frame, at), IoStatus::kFailed), "pipe_read_failed") << at;
  }
}

// The largest frame of each kind (id of 128 bytes) and a few small ones, with their encoding.
struct LargestFrames {
  std::vector<Frame> frames = {
      {FrameKind::Binary, {}, std::string(128, 'i'), Pattern(kMaxPayload, 6)},
      {FrameKind::Json, Json::parse(JsonTextOfSize(kMaxJsonText)), {}, {}},
      {FrameKind::Json, Json{{"type", "request"}, {"requestId", "r1"}, {"n", 3}}, {}, {}},
      {FrameKind::Binary, {}, "r2", {0}},
      {FrameKind::Binary, {}, "e", {}}};
  Bytes bytes;
  LargestFrames() {
    for (const Frame& f : frames) {
      const Bytes one = f.kind == FrameKind::Json ? EncodeJson(f.json.dump())
                                                  : EncodeBinaryFrame(f.requestId, f.payload);
      bytes.insert(bytes.end(), one.begin(), one.end());
    }
  }
};

TEST(FrameReaderTest, SameFramesWhateverTheDeliveryInReadsOfAtMost64KiB) {
  const LargestFrames largest;
  ASSERT_EQ(Cut(largest.bytes, 4), Header(kMaxFrame));
  std::mt19937 random(1234);
  std::vector<std::size_t> randomPieces(997);
  for (auto& piece : randomPieces) piece = 1 + random() % 70'000;
  // Pieces as large as asked, of one size, and of mixed sizes.
  const std::vector<std::size_t> deliveries[] = {{},          {1}, {7}, {4096}, {3, 1, 65'535, 2},
                                                 randomPieces};
  for (const std::vector<std::size_t>& pieces : deliveries) {
    SCOPED_TRACE(::testing::Message()
                 << pieces.size() << " piece sizes from " << (pieces.empty() ? 0 : pieces[0]));
    FakeInput input(largest.bytes, pieces);
    FrameReader reader(input);
    for (const Frame& frame : largest.frames) ExpectFrame(reader.Read(), frame);
    EXPECT_FALSE(reader.Read().has_value());
    EXPECT_EQ(input.consumed(), largest.bytes.size());
    EXPECT_TRUE(AllWithinChunk(input.requested()));
  }
}

// ---------------------------------------------------------------------------------------------
// Writer.

using Write = std::function<void(FrameWriter&)>;
Write JsonWrite(const Json& json) {
  return [json](FrameWriter& writer) { writer.WriteJson(json); };
}
Write BinaryWrite(const std::string& id, const Bytes& payload) {
  return [id, payload](FrameWriter& writer) { writer.WriteBinary(id, payload); };
}

TEST(FrameWriterTest, BytesOnTheWireOrNothing) {
  const std::tuple<const char*, Write, Bytes, const char*> rows[] = {
      {"Json", JsonWrite({{"a", "bc"}}),
       Bytes{0, 0, 0, 0x0B, 1, '{', '"', 'a', '"', ':', '"', 'b', 'c', '"', '}'}, ""},
      {"JsonIsCompact",
       JsonWrite(Json::parse(R"({ "k" : [ 1 , 2.5 , { "x" : null } ] , "t" : true })")),
       EncodeJson(R"({"k":[1,2.5,{"x":null}],"t":true})"), ""},
      {"Binary", BinaryWrite("ab", {1, 2, 3}), Bytes{0, 0, 0, 8, 2, 0, 2, 'a', 'b', 1, 2, 3}, ""},
      {"JsonTextOnePastLimit", JsonWrite(Json::parse(JsonTextOfSize(kMaxJsonText + 1))), Bytes{},
       "json_frame_too_large"},
      {"EmptyId", BinaryWrite("", {1}), Bytes{}, "invalid_request_id"},
      {"Id129Bytes", BinaryWrite(std::string(129, 'i'), {1}), Bytes{}, "invalid_request_id"},
      {"PayloadOnePastLimit", BinaryWrite("r", Bytes(kMaxPayload + 1, 1)), Bytes{},
       "binary_frame_too_large"}};
  for (const auto& [name, write, bytes, code] : rows) {
    SCOPED_TRACE(name);
    FakeOutput output;
    FrameWriter writer(output);
    EXPECT_EQ(FailureCode([&writeFrame = write, &writer] { writeFrame(writer); }), code);
    EXPECT_EQ(output.bytes(), bytes);
    EXPECT_TRUE(*code == '\0' || output.calls().empty());  // a refused frame writes nothing
  }
}

// Short writes are continued, and no call is larger than 64 KiB.
TEST(FrameWriterTest, LargestFramesInWritesOfAtMost64KiB) {
  const LargestFrames largest;
  for (const std::size_t maxPerCall : {1, 2, 7, 4095, 65'535}) {
    SCOPED_TRACE(maxPerCall);
    FakeOutput output({.maxPerCall = maxPerCall});
    FrameWriter writer(output);
    for (const Frame& f : largest.frames) {
      (f.kind == FrameKind::Json ? JsonWrite(f.json) : BinaryWrite(f.requestId, f.payload))(writer);
    }
    EXPECT_TRUE(output.bytes() == largest.bytes);
    EXPECT_TRUE(AllWithinChunk(output.calls()));
  }
}

TEST(FrameWriterTest, FailedWriteThrowsPipeWriteFailed) {
  const std::tuple<const char*, std::size_t, IoStatus> rows[] = {
      {"FailedAtStart", 0, IoStatus::kFailed},
      {"BrokenPipeAtStart", 0, IoStatus::kBrokenPipe},
      {"ZeroBytesAtStart", 0, IoStatus::kOk},
      {"FailedInsideHeader", 3, IoStatus::kFailed},
      {"ZeroBytesAfterHeader", 5, IoStatus::kOk},
      {"BrokenPipeInSecondChunk", 70'000, IoStatus::kBrokenPipe},
      {"ZeroBytesInLastChunk", 199'000, IoStatus::kOk}};
  const std::pair<const char*, Write> writes[] = {
      {"binary", BinaryWrite("r", Pattern(200'000, 11))},
      {"json", JsonWrite(Json::parse(JsonTextOfSize(200'000)))}};
  for (const auto& [name, failAfter, status] : rows) {
    for (const auto& [kind, write] : writes) {
      SCOPED_TRACE(::testing::Message() << name << ", " << kind);
      // Many failures in a row: a writer that retried them would then complete.
      FakeOutput output({.failAfter = failAfter, .failStatus = status, .failCount = 1000});
      FrameWriter writer(output);
      EXPECT_EQ(FailureCode([&writeFrame = write, &writer] { writeFrame(writer); }),
                "pipe_write_failed");
      EXPECT_EQ(output.bytes().size(), failAfter);
    }
  }
}

TEST(FrameWriterTest, LockIsReleasedAfterFailedWrite) {
  struct Shared {
    FakeOutput output{{.failAfter = 0, .failCount = 1}};
    FrameWriter writer{output};
  };
  // Shared ownership: a thread stuck on the lock must not outlive what it uses.
  auto shared = std::make_shared<Shared>();
  EXPECT_EQ(FailureCode([&] { shared->writer.WriteJson(Json{{"a", 1}}); }), "pipe_write_failed");

  std::packaged_task<std::string()> task([shared] {
    return FailureCode([&] { shared->writer.WriteJson(Json{{"b", 2}}); });
  });
  std::future<std::string> result = task.get_future();
  std::thread(std::move(task)).detach();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "the second write is still waiting for the writer's lock";
  EXPECT_EQ(result.get(), "");
  EXPECT_EQ(shared->output.bytes(), EncodeJson("{\"b\":2}"));
}

// ---------------------------------------------------------------------------------------------
// Real pipes, through the Linux helper's own descriptor streams.

#ifndef _WIN32

using platform::sim::FdInputStream;
using platform::sim::FdOutputStream;
using platform::sim::UniqueFd;

// Writer `t`'s frame `n`: even ones JSON, odd ones binary; some bodies span chunks.
constexpr int kFramesPerThread = 1000;

Json JsonOf(int t, int n) {
  return Json{{"t", t}, {"n", n}, {"pad", std::string((n * 37 + t * 11) % 3000, 'p')}};
}
Bytes PayloadOf(int t, int n) {
  return Bytes(
      static_cast<std::size_t>((n * 7919 + t * 104'729) % 9000) + (n % 100 == 1 ? 150'000 : 0),
      static_cast<std::uint8_t>(t * 31 + n));
}
std::string IdOf(int t, int n) {
  return "t" + std::to_string(t) + "-" + std::to_string(n);
}

TEST(RealPipeTest, ConcurrentWritersKeepFramesWhole) {
  // A write to a pipe whose reader is gone must fail with EPIPE, not kill the test process.
  std::signal(SIGPIPE, SIG_IGN);
  std::array<int, 2> fds{-1, -1};
  ASSERT_EQ(::pipe2(fds.data(), O_CLOEXEC), 0);
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  FdOutputStream output(writeEnd.Get());
  FrameWriter writer(output);

  std::array<std::vector<int>, 2> seen;
  std::string readerError;
  std::thread readerThread([&] {
    readerError = FailureCode([&] {
      FdInputStream input(readEnd.Get());
      FrameReader reader(input);
      while (std::optional<Frame> frame = reader.Read()) {
        const bool json = frame->kind == FrameKind::Json;
        int t = json ? frame->json.value("t", -1) : -1;
        int n = json ? frame->json.value("n", -1) : -1;
        if (!json) std::sscanf(frame->requestId.c_str(), "t%d-%d", &t, &n);
        if (t < 0 || t > 1 ||
            (json ? frame->json != JsonOf(t, n)
                  : frame->requestId != IdOf(t, n) || frame->payload != PayloadOf(t, n))) {
          throw std::runtime_error("damaged frame");
        }
        seen[t].push_back(n);
      }
    });
    readEnd.Reset();  // on an early stop the writers fail instead of blocking
  });

  std::latch start(2);
  std::array<std::string, 2> writerErrors;
  std::array<std::thread, 2> writers;
  for (int t = 0; t < 2; ++t) {
    writers[t] = std::thread([&, t] {
      start.arrive_and_wait();
      writerErrors[t] = FailureCode([&] {
        for (int n = 0; n < kFramesPerThread; ++n) {
          n % 2 == 0 ? writer.WriteJson(JsonOf(t, n))
                     : writer.WriteBinary(IdOf(t, n), PayloadOf(t, n));
        }
      });
    });
  }
  for (std::thread& w : writers) w.join();
  writeEnd.Reset();
  readerThread.join();

  EXPECT_EQ(writerErrors, (std::array<std::string, 2>{}));
  ASSERT_EQ(readerError, "");
  std::vector<int> inOrder(kFramesPerThread);
  std::iota(inOrder.begin(), inOrder.end(), 0);
  EXPECT_EQ(seen, (std::array{inOrder, inOrder}));
}

#endif  // _WIN32

}  // namespace
}  // namespace velmora::computer_use
