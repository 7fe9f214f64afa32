// Frame codec: the bytes on the wire, the limits, the error codes, chunking and the writer lock.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <future>
#include <latch>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frame_protocol.h"
#include "protocol/json.h"
#include "support/fake_streams.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif

namespace velmora::computer_use {
namespace {

using fakes::FakeInput;
using fakes::FakeOutput;
using platform::IoStatus;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMaxFrame = 4'194'435;
constexpr std::size_t kMaxJsonText = 1'048'576;
constexpr std::size_t kMaxPayload = 4'194'304;
constexpr std::size_t kChunk = 65'536;

Bytes Header(std::uint32_t length) {
  return {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
          static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes ToBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

// A header claiming `length`, then the kind byte and whatever follows, consistent or not.
Bytes RawFrame(std::uint32_t length, std::uint8_t kind, const Bytes& rest) {
  return Concat({Header(length), Bytes{kind}, rest});
}

Bytes EncodeJson(std::string_view text) {
  return RawFrame(static_cast<std::uint32_t>(text.size() + 1), 1, ToBytes(text));
}

Bytes EncodeBinary(std::string_view id, const Bytes& payload) {
  const Bytes idLength{static_cast<std::uint8_t>(id.size() >> 8),
                       static_cast<std::uint8_t>(id.size())};
  return RawFrame(static_cast<std::uint32_t>(3 + id.size() + payload.size()), 2,
                  Concat({idLength, ToBytes(id), payload}));
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

Frame JsonFrame(Json json) {
  Frame frame;
  frame.kind = FrameKind::Json;
  frame.json = std::move(json);
  return frame;
}

Frame BinaryFrame(std::string id, Bytes payload) {
  Frame frame;
  frame.kind = FrameKind::Binary;
  frame.requestId = std::move(id);
  frame.payload = std::move(payload);
  return frame;
}

void ExpectFrame(const std::optional<Frame>& actual, const Frame& expected) {
  ASSERT_TRUE(actual.has_value());
  ASSERT_EQ(actual->kind, expected.kind);
  if (expected.kind == FrameKind::Json) {
    EXPECT_EQ(actual->json, expected.json);
  } else {
    EXPECT_EQ(actual->requestId, expected.requestId);
    EXPECT_EQ(actual->payload.size(), expected.payload.size());
    EXPECT_TRUE(actual->payload == expected.payload) << "payload bytes differ";
  }
}

// Parameter structs print as their name in failure messages.
template <typename T>
requires requires(const T& value) {
  value.name;
}
void PrintTo(const T& value, std::ostream* os) {
  *os << value.name;
}

// The protocol error code thrown by `action`, or a description of what happened instead.
std::string ErrorCodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const ProtocolError& error) {
    return error.what();
  } catch (const std::exception& error) {
    return std::string("other exception: ") + error.what();
  }
  return "no error";
}

// ---------------------------------------------------------------------------------------------
// Reader: malformed input.

struct ReaderErrorCase {
  const char* name;
  std::function<Bytes()> input;
  const char* code;
};

class ReaderErrorTest : public ::testing::TestWithParam<ReaderErrorCase> {};

TEST_P(ReaderErrorTest, ThrowsCode) {
  FakeInput input(GetParam().input());
  FrameReader reader(input);
  EXPECT_EQ(ErrorCodeOf([&] { reader.Read(); }), GetParam().code);
}

Bytes InvalidJson(std::string_view text) {
  return EncodeJson(text);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ReaderErrorTest,
    ::testing::ValuesIn(std::vector<ReaderErrorCase>{
        {"LengthZero", [] { return Header(0); }, "frame_too_large"},
        {"LengthZeroFollowedByBytes",
         [] {
           return Concat({Header(0), ToBytes("\x01{}")});
         },
         "frame_too_large"},
        // Only the header: the length must be judged before the body is awaited.
        {"LengthOnePastMaximum", [] { return Header(kMaxFrame + 1); }, "frame_too_large"},
        {"LengthAllOnes", [] { return Header(0xFFFFFFFF); }, "frame_too_large"},
        {"LengthHighByteOnly", [] { return Header(0x01000000); }, "frame_too_large"},
        {"EndAfterHeader", [] { return Header(5); }, "truncated_frame"},
        {"EndInsideJsonBody",
         [] {
           return Concat({Header(10), ToBytes("\x01{\"a\"")});
         },
         "truncated_frame"},
        {"EndOneByteShortOfBinaryBody",
         [] {
           Bytes bytes = EncodeBinary("req", Pattern(100'000, 1));
           bytes.pop_back();
           return bytes;
         },
         "truncated_frame"},
        {"MaximumLengthJudgedAsJson", [] { return EncodeJson(JsonTextOfSize(kMaxFrame - 1)); },
         "json_frame_too_large"},
        {"JsonTextOnePastLimit", [] { return EncodeJson(JsonTextOfSize(kMaxJsonText + 1)); },
         "json_frame_too_large"},
        {"JsonByteFF", [] { return InvalidJson("\xFF"); }, "invalid_json_frame"},
        {"JsonByteFFInString", [] { return InvalidJson("{\"a\":\"\xFF\"}"); },
         "invalid_json_frame"},
        {"JsonOverlongInString", [] { return InvalidJson("{\"a\":\"\xC0\x80\"}"); },
         "invalid_json_frame"},
        {"JsonEncodedSurrogateInString", [] { return InvalidJson("{\"a\":\"\xED\xA0\x80\"}"); },
         "invalid_json_frame"},
        {"JsonByteOrderMark", [] { return InvalidJson("\xEF\xBB\xBF{}"); }, "invalid_json_frame"},
        {"JsonEmptyText", [] { return InvalidJson(""); }, "invalid_json_frame"},
        {"JsonOnlyWhitespace", [] { return InvalidJson("  "); }, "invalid_json_frame"},
        {"JsonTopLevelArray", [] { return InvalidJson("[{}]"); }, "invalid_json_frame"},
        {"JsonTopLevelString", [] { return InvalidJson("\"{}\""); }, "invalid_json_frame"},
        {"JsonTopLevelNumber", [] { return InvalidJson("1"); }, "invalid_json_frame"},
        {"JsonTopLevelNull", [] { return InvalidJson("null"); }, "invalid_json_frame"},
        // The frame's object and 128 arrays inside it: one level past the limit.
        {"JsonNestedOnePastTheLimit",
         [] {
           return InvalidJson("{\"a\":" + std::string(128, '[') + std::string(128, ']') + "}");
         },
         "invalid_json_frame"},
        {"JsonTrailingGarbage", [] { return InvalidJson("{} x"); }, "invalid_json_frame"},
        {"JsonTwoObjects", [] { return InvalidJson("{}{}"); }, "invalid_json_frame"},
        {"JsonTrailingNul", [] { return InvalidJson(std::string_view("{}\0", 3)); },
         "invalid_json_frame"},
        {"JsonNulThenSecondObject", [] { return InvalidJson(std::string_view("{}\0{}", 5)); },
         "invalid_json_frame"},
        {"JsonUnterminated", [] { return InvalidJson("{\"a\":1"); }, "invalid_json_frame"},
        {"JsonTrailingComma", [] { return InvalidJson("{\"a\":1,}"); }, "invalid_json_frame"},
        {"BinaryLengthOne", [] { return RawFrame(1, 2, {}); }, "invalid_frame_kind"},
        {"BinaryLengthTwo", [] { return RawFrame(2, 2, {0}); }, "invalid_frame_kind"},
        {"BinaryIdLengthZero",
         [] {
           return RawFrame(4, 2, {0, 0, 'x'});
         },
         "invalid_request_id"},
        {"BinaryIdLength129",
         [] {
           return RawFrame(3 + 129 + 1, 2, Concat({{0, 129}, Bytes(130, 'i')}));
         },
         "invalid_request_id"},
        // 01 00 is 256 big-endian (1 if read the other way round).
        {"BinaryIdLength256",
         [] {
           return RawFrame(3 + 256, 2, Concat({{1, 0}, Bytes(256, 'i')}));
         },
         "invalid_request_id"},
        {"BinaryIdPastFrameEnd",
         [] {
           return RawFrame(3 + 4, 2, {0, 5, 'a', 'b', 'c', 'd'});
         },
         "invalid_request_id"},
        {"BinaryPayloadOnePastLimit", [] { return EncodeBinary("r", Bytes(kMaxPayload + 1, 7)); },
         "binary_frame_too_large"},
        {"KindZero", [] { return RawFrame(3, 0, ToBytes("{}")); }, "invalid_frame_kind"},
        {"KindThree", [] { return RawFrame(3, 3, ToBytes("{}")); }, "invalid_frame_kind"},
        {"KindFF", [] { return RawFrame(3, 0xFF, ToBytes("{}")); }, "invalid_frame_kind"},
        {"KindThreeAtMaximumLength", [] { return RawFrame(kMaxFrame, 3, Bytes(kMaxFrame - 1, 0)); },
         "invalid_frame_kind"},
    }),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Reader: well-formed frames at the limits.

struct ReaderAcceptCase {
  const char* name;
  std::function<Bytes()> input;
  std::function<Frame()> expected;
};

class ReaderAcceptTest : public ::testing::TestWithParam<ReaderAcceptCase> {};

TEST_P(ReaderAcceptTest, DecodesFrameThenEnds) {
  FakeInput input(GetParam().input());
  FrameReader reader(input);
  ExpectFrame(reader.Read(), GetParam().expected());
  EXPECT_FALSE(reader.Read().has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ReaderAcceptTest,
    ::testing::ValuesIn(std::vector<ReaderAcceptCase>{
        {"MaximumBinaryFrame",
         [] {
           Bytes bytes = EncodeBinary(std::string(128, 'i'), Pattern(kMaxPayload, 2));
           EXPECT_EQ(bytes.size(), 4 + kMaxFrame);
           return bytes;
         },
         [] { return BinaryFrame(std::string(128, 'i'), Pattern(kMaxPayload, 2)); }},
        {"MaximumPayloadOneByteId", [] { return EncodeBinary("r", Pattern(kMaxPayload, 3)); },
         [] { return BinaryFrame("r", Pattern(kMaxPayload, 3)); }},
        {"BinaryEmptyPayload",
         [] {
           return RawFrame(3 + 2, 2, {0, 2, 'i', 'd'});
         },
         [] { return BinaryFrame("id", {}); }},
        {"BinaryIdLength128",
         [] {
           return RawFrame(3 + 128 + 1, 2, Concat({{0, 128}, Bytes(128, 'q'), {9}}));
         },
         [] { return BinaryFrame(std::string(128, 'q'), {9}); }},
        {"JsonTextAtLimit", [] { return EncodeJson(JsonTextOfSize(kMaxJsonText)); },
         [] {
           return JsonFrame(Json{{"a", std::string(kMaxJsonText - 8, 'x')}});
         }},
        {"JsonSurroundedByWhitespace", [] { return EncodeJson("\t{\"k\":[1,2]}\n "); },
         [] {
           return JsonFrame(Json{{"k", {1, 2}}});
         }},
        // At the limit, and brackets inside strings do not nest.
        {"JsonNestedAtTheLimit",
         [] {
           return EncodeJson("{\"a\":" + std::string(127, '[') + std::string(127, ']') +
                             ",\"s\":\"\\\"" + std::string(200, '[') + "\"}");
         },
         [] {
           Json nested = Json::array();
           for (int level = 1; level < 127; ++level) nested = Json::array({nested});
           return JsonFrame(Json{{"a", nested}, {"s", "\"" + std::string(200, '[')}});
         }},
        {"JsonNonAscii", [] { return EncodeJson("{\"k\":\"\xC3\xA9\xF0\x9F\x98\x80\"}"); },
         [] {
           return JsonFrame(Json{{"k", "\xC3\xA9\xF0\x9F\x98\x80"}});
         }},
    }),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Reader: the end of the stream and failed reads.

struct EndCase {
  IoStatus status;
  const char* name;
};

class ReaderEndTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(ReaderEndTest, PartialHeaderIsCleanEnd) {
  const Bytes header = Header(3);
  for (std::size_t cut = 0; cut < 4; ++cut) {
    SCOPED_TRACE(cut);
    const Bytes frame = EncodeJson("{}");
    Bytes data = Concat({frame, Bytes(header.begin(), header.begin() + cut)});
    FakeInput input(data, {}, GetParam().status);
    FrameReader reader(input);
    ExpectFrame(reader.Read(), JsonFrame(Json::object()));
    EXPECT_FALSE(reader.Read().has_value());
  }
}

TEST_P(ReaderEndTest, EndInsideBodyIsTruncated) {
  Bytes data = EncodeBinary("id", Pattern(1000, 4));
  data.resize(4 + 500);
  FakeInput input(data, {}, GetParam().status);
  FrameReader reader(input);
  EXPECT_EQ(ErrorCodeOf([&] { reader.Read(); }), "truncated_frame");
}

INSTANTIATE_TEST_SUITE_P(Frames, ReaderEndTest,
                         ::testing::Values(EndCase{IoStatus::kOk, "ZeroByteRead"},
                                           EndCase{IoStatus::kBrokenPipe, "BrokenPipe"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FrameReaderTest, FailedReadIsPipeReadFailed) {
  const Bytes frame = EncodeBinary("id", Pattern(200'000, 5));
  // Fails at the first byte, inside the header, at the body's start, and in a later chunk.
  for (std::size_t at : {std::size_t{0}, std::size_t{2}, std::size_t{4}, std::size_t{150'000}}) {
    SCOPED_TRACE(at);
    FakeInput input(Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(at)), {},
                    IoStatus::kFailed);
    FrameReader reader(input);
    EXPECT_EQ(ErrorCodeOf([&] { reader.Read(); }), "pipe_read_failed");
  }
}

// ---------------------------------------------------------------------------------------------
// Reader: chunking.

TEST(FrameReaderTest, RequestsAtMost64KiBPerRead) {
  const Bytes payload = Pattern(kMaxPayload, 6);
  const std::string text = JsonTextOfSize(kMaxJsonText);
  FakeInput input(Concat({EncodeBinary(std::string(128, 'i'), payload), EncodeJson(text)}));
  FrameReader reader(input);
  ExpectFrame(reader.Read(), BinaryFrame(std::string(128, 'i'), payload));
  ExpectFrame(reader.Read(), JsonFrame(Json::parse(text)));
  EXPECT_FALSE(reader.Read().has_value());
  ASSERT_FALSE(input.requested().empty());
  for (std::size_t size : input.requested()) {
    ASSERT_GE(size, 1u);
    ASSERT_LE(size, kChunk);
  }
}

struct PieceCase {
  const char* name;
  std::vector<std::size_t> pieces;
};

std::vector<std::size_t> RandomPieces() {
  std::mt19937 random(1234);
  std::uniform_int_distribution<std::size_t> size(1, 70'000);
  std::vector<std::size_t> pieces(997);
  for (auto& piece : pieces) piece = size(random);
  return pieces;
}

class ReaderPiecesTest : public ::testing::TestWithParam<PieceCase> {};

TEST_P(ReaderPiecesTest, SameFramesWhateverTheDelivery) {
  const Bytes payload = Pattern(100'000, 7);
  const std::string bigText = JsonTextOfSize(100'000);
  const Json small{{"type", "request"}, {"requestId", "r1"}, {"n", 3}};
  const Bytes stream = Concat({EncodeJson(small.dump()), EncodeBinary("r1", payload),
                               EncodeJson(bigText), EncodeBinary("r2", {0})});
  FakeInput input(stream, GetParam().pieces);
  FrameReader reader(input);
  ExpectFrame(reader.Read(), JsonFrame(small));
  ExpectFrame(reader.Read(), BinaryFrame("r1", payload));
  ExpectFrame(reader.Read(), JsonFrame(Json::parse(bigText)));
  ExpectFrame(reader.Read(), BinaryFrame("r2", {0}));
  EXPECT_FALSE(reader.Read().has_value());
  EXPECT_EQ(input.consumed(), stream.size());
}

INSTANTIATE_TEST_SUITE_P(Frames, ReaderPiecesTest,
                         ::testing::Values(PieceCase{"OneByte", {1}}, PieceCase{"SevenBytes", {7}},
                                           PieceCase{"FourKiB", {4096}},
                                           PieceCase{"Mixed", {3, 1, 65'535, 2}},
                                           PieceCase{"Random", RandomPieces()}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Writer: bytes on the wire.

TEST(FrameWriterTest, JsonFrameBytes) {
  FakeOutput output;
  FrameWriter writer(output);
  writer.WriteJson(Json{{"a", "bc"}});
  EXPECT_EQ(output.bytes(), Concat({{0x00, 0x00, 0x00, 0x0B, 0x01}, ToBytes("{\"a\":\"bc\"}")}));
}

TEST(FrameWriterTest, JsonIsCompact) {
  FakeOutput output;
  FrameWriter writer(output);
  writer.WriteJson(Json::parse(R"({ "k" : [ 1 , 2.5 , { "x" : null } ] , "t" : true })"));
  EXPECT_EQ(output.bytes(), EncodeJson(R"({"k":[1,2.5,{"x":null}],"t":true})"));
}

TEST(FrameWriterTest, BinaryFrameBytes) {
  FakeOutput output;
  FrameWriter writer(output);
  writer.WriteBinary("ab", {1, 2, 3});
  EXPECT_EQ(output.bytes(), (Bytes{0, 0, 0, 8, 2, 0, 2, 'a', 'b', 1, 2, 3}));
}

TEST(FrameWriterTest, JsonTextAtLimitIsWritten) {
  const std::string text = JsonTextOfSize(kMaxJsonText);
  FakeOutput output;
  FrameWriter writer(output);
  writer.WriteJson(Json::parse(text));
  EXPECT_TRUE(output.bytes() == EncodeJson(text));
}

TEST(FrameWriterTest, MaximumBinaryFrameIsWritten) {
  const std::string id(128, 'i');
  const Bytes payload = Pattern(kMaxPayload, 8);
  FakeOutput output;
  FrameWriter writer(output);
  writer.WriteBinary(id, payload);
  ASSERT_EQ(output.bytes().size(), 4 + kMaxFrame);
  EXPECT_TRUE(output.bytes() == EncodeBinary(id, payload));
}

struct WriterRejectCase {
  const char* name;
  std::function<void(FrameWriter&)> write;
  const char* code;
};

class WriterRejectTest : public ::testing::TestWithParam<WriterRejectCase> {};

TEST_P(WriterRejectTest, ThrowsAndWritesNothing) {
  FakeOutput output;
  FrameWriter writer(output);
  EXPECT_EQ(ErrorCodeOf([&] { GetParam().write(writer); }), GetParam().code);
  EXPECT_TRUE(output.calls().empty());
  EXPECT_TRUE(output.bytes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Frames, WriterRejectTest,
    ::testing::ValuesIn(std::vector<WriterRejectCase>{
        {"JsonTextOnePastLimit",
         [](FrameWriter& w) { w.WriteJson(Json::parse(JsonTextOfSize(kMaxJsonText + 1))); },
         "json_frame_too_large"},
        {"EmptyId", [](FrameWriter& w) { w.WriteBinary("", {1}); }, "invalid_request_id"},
        {"Id129Bytes", [](FrameWriter& w) { w.WriteBinary(std::string(129, 'i'), {1}); },
         "invalid_request_id"},
        {"PayloadOnePastLimit",
         [](FrameWriter& w) { w.WriteBinary("r", Bytes(kMaxPayload + 1, 1)); },
         "binary_frame_too_large"},
    }),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Writer: chunking, partial writes and failures.

TEST(FrameWriterTest, WritesAtMost64KiBPerCall) {
  const Bytes payload = Pattern(kMaxPayload, 9);
  const std::string text = JsonTextOfSize(kMaxJsonText);
  FakeOutput output;
  FrameWriter writer(output);
  writer.WriteBinary("r", payload);
  writer.WriteJson(Json::parse(text));
  EXPECT_TRUE(output.bytes() == Concat({EncodeBinary("r", payload), EncodeJson(text)}));
  for (std::size_t size : output.calls()) {
    ASSERT_GE(size, 1u);
    ASSERT_LE(size, kChunk);
  }
}

class WriterPartialTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WriterPartialTest, ShortWritesAreContinued) {
  const Bytes payload = Pattern(150'000, 10);
  const std::string text = JsonTextOfSize(70'000);
  FakeOutput::Options options;
  options.maxPerCall = GetParam();
  FakeOutput output(options);
  FrameWriter writer(output);
  writer.WriteBinary("req-7", payload);
  writer.WriteJson(Json::parse(text));
  const Bytes expected = Concat({EncodeBinary("req-7", payload), EncodeJson(text)});
  ASSERT_TRUE(output.bytes() == expected);
  FakeInput input(output.bytes());
  FrameReader reader(input);
  ExpectFrame(reader.Read(), BinaryFrame("req-7", payload));
  ExpectFrame(reader.Read(), JsonFrame(Json::parse(text)));
}

INSTANTIATE_TEST_SUITE_P(Frames, WriterPartialTest, ::testing::Values(1, 2, 7, 4095, 65'535));

struct WriteFailureCase {
  const char* name;
  std::size_t failAfter;
  IoStatus status;
};

class WriterFailureTest : public ::testing::TestWithParam<WriteFailureCase> {};

TEST_P(WriterFailureTest, BinaryWriteThrowsPipeWriteFailed) {
  FakeOutput::Options options;
  options.failAfter = GetParam().failAfter;
  options.failStatus = GetParam().status;
  options.failCount = 1000;  // a writer that retried failures would then complete
  FakeOutput output(options);
  FrameWriter writer(output);
  EXPECT_EQ(ErrorCodeOf([&] { writer.WriteBinary("r", Pattern(200'000, 11)); }),
            "pipe_write_failed");
  EXPECT_EQ(output.bytes().size(), GetParam().failAfter);
}

TEST_P(WriterFailureTest, JsonWriteThrowsPipeWriteFailed) {
  FakeOutput::Options options;
  options.failAfter = GetParam().failAfter;
  options.failStatus = GetParam().status;
  options.failCount = 1000;  // a writer that retried failures would then complete
  FakeOutput output(options);
  FrameWriter writer(output);
  EXPECT_EQ(ErrorCodeOf([&] { writer.WriteJson(Json::parse(JsonTextOfSize(200'000))); }),
            "pipe_write_failed");
  EXPECT_EQ(output.bytes().size(), GetParam().failAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, WriterFailureTest,
    ::testing::Values(WriteFailureCase{"FailedAtStart", 0, IoStatus::kFailed},
                      WriteFailureCase{"BrokenPipeAtStart", 0, IoStatus::kBrokenPipe},
                      WriteFailureCase{"ZeroBytesAtStart", 0, IoStatus::kOk},
                      WriteFailureCase{"FailedInsideHeader", 3, IoStatus::kFailed},
                      WriteFailureCase{"ZeroBytesAfterHeader", 5, IoStatus::kOk},
                      WriteFailureCase{"BrokenPipeInSecondChunk", 70'000, IoStatus::kBrokenPipe},
                      WriteFailureCase{"ZeroBytesInLastChunk", 199'000, IoStatus::kOk}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameWriterTest, LockIsReleasedAfterFailedWrite) {
  struct Shared {
    explicit Shared(FakeOutput::Options options) : output(options), writer(output) {}
    FakeOutput output;
    FrameWriter writer;
  };
  FakeOutput::Options options;
  options.failAfter = 0;
  options.failCount = 1;
  // Shared ownership: a thread stuck on the lock must not outlive what it uses.
  auto shared = std::make_shared<Shared>(options);
  EXPECT_EQ(ErrorCodeOf([&] { shared->writer.WriteJson(Json{{"a", 1}}); }), "pipe_write_failed");

  std::packaged_task<std::string()> task([shared] {
    return ErrorCodeOf([&] { shared->writer.WriteJson(Json{{"b", 2}}); });
  });
  std::future<std::string> result = task.get_future();
  std::thread(std::move(task)).detach();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "the second write is still waiting for the writer's lock";
  EXPECT_EQ(result.get(), "no error");
  EXPECT_EQ(shared->output.bytes(), EncodeJson("{\"b\":2}"));
}

// ---------------------------------------------------------------------------------------------
// Real pipes.

#ifndef _WIN32

class FdInput : public platform::InputStream {
 public:
  explicit FdInput(int fd) : fd_(fd) {}
  platform::IoResult Read(std::uint8_t* buffer, std::size_t count) override {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, count);
      if (n >= 0) return {IoStatus::kOk, static_cast<std::size_t>(n)};
      if (errno == EINTR) continue;
      return {errno == EPIPE ? IoStatus::kBrokenPipe : IoStatus::kFailed, 0};
    }
  }

 private:
  int fd_;
};

class FdOutput : public platform::OutputStream {
 public:
  explicit FdOutput(int fd) : fd_(fd) {}
  platform::IoResult Write(const std::uint8_t* buffer, std::size_t count) override {
    for (;;) {
      const ssize_t n = ::write(fd_, buffer, count);
      if (n >= 0) return {IoStatus::kOk, static_cast<std::size_t>(n)};
      if (errno == EINTR) continue;
      return {errno == EPIPE ? IoStatus::kBrokenPipe : IoStatus::kFailed, 0};
    }
  }

 private:
  int fd_;
};

struct Pipe {
  Pipe() {
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) fds = {-1, -1};
  }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  bool ok() const { return fds[0] >= 0 && fds[1] >= 0; }
  int read() const { return fds[0]; }
  int write() const { return fds[1]; }
  void CloseRead() { Close(0); }
  void CloseWrite() { Close(1); }

 private:
  void Close(int end) {
    if (fds[end] >= 0) ::close(fds[end]);
    fds[end] = -1;
  }
  std::array<int, 2> fds{-1, -1};
};

class RealPipeTest : public ::testing::Test {
 protected:
  // A write to a pipe whose reader is gone must fail with EPIPE, not kill the test process.
  static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }
};

TEST_F(RealPipeTest, LargestFramesRoundTrip) {
  Pipe pipe;
  ASSERT_TRUE(pipe.ok());
  const std::string id(128, 'r');
  const Bytes payload = Pattern(kMaxPayload, 12);
  const std::string text = JsonTextOfSize(kMaxJsonText);
  const Json json = Json::parse(text);

  std::string writerError = "no error";
  std::thread writerThread([&] {
    FdOutput output(pipe.write());
    FrameWriter writer(output);
    writerError = ErrorCodeOf([&] {
      writer.WriteBinary(id, payload);
      writer.WriteJson(json);
    });
    pipe.CloseWrite();
  });

  std::vector<std::optional<Frame>> frames;
  const std::string readerError = ErrorCodeOf([&] {
    FdInput input(pipe.read());
    FrameReader reader(input);
    for (int i = 0; i < 3; ++i) frames.push_back(reader.Read());
  });
  pipe.CloseRead();  // unblocks the writer should the reader have stopped early
  writerThread.join();

  EXPECT_EQ(writerError, "no error");
  ASSERT_EQ(readerError, "no error");
  ExpectFrame(frames[0], BinaryFrame(id, payload));
  ExpectFrame(frames[1], JsonFrame(json));
  EXPECT_FALSE(frames[2].has_value());
}

// Frame `seq` of thread `thread`: even ones JSON, odd ones binary; some bodies span chunks.
constexpr int kFramesPerThread = 1000;

std::size_t PayloadSize(int thread, int seq) {
  return static_cast<std::size_t>((seq * 7919 + thread * 104'729) % 9000) +
         (seq % 100 == 1 ? 150'000 : 0);
}

std::uint8_t PayloadByte(int thread, int seq) {
  return static_cast<std::uint8_t>(thread * 31 + seq);
}

std::size_t PadSize(int thread, int seq) {
  return static_cast<std::size_t>((seq * 37 + thread * 11) % 3000);
}

std::string BinaryId(int thread, int seq) {
  std::array<char, 32> id{};
  std::snprintf(id.data(), id.size(), "t%d-%d", thread, seq);
  return id.data();
}

TEST_F(RealPipeTest, ConcurrentWritersKeepFramesWhole) {
  Pipe pipe;
  ASSERT_TRUE(pipe.ok());
  FdOutput output(pipe.write());
  FrameWriter writer(output);

  std::array<std::vector<int>, 2> seen;
  std::string readerError = "no error";
  std::thread readerThread([&] {
    readerError = ErrorCodeOf([&] {
      FdInput input(pipe.read());
      FrameReader reader(input);
      while (std::optional<Frame> frame = reader.Read()) {
        int thread = -1;
        int seq = -1;
        if (frame->kind == FrameKind::Json) {
          thread = frame->json.at("thread").get<int>();
          seq = frame->json.at("seq").get<int>();
          if (frame->json.at("pad").get<std::string>() != std::string(PadSize(thread, seq), 'p')) {
            throw std::runtime_error("bad json frame " + frame->json.dump());
          }
        } else {
          if (std::sscanf(frame->requestId.c_str(), "t%d-%d", &thread, &seq) != 2 || thread < 0 ||
              thread > 1 ||
              frame->payload != Bytes(PayloadSize(thread, seq), PayloadByte(thread, seq))) {
            throw std::runtime_error("bad binary frame " + frame->requestId);
          }
        }
        if (thread < 0 || thread > 1) throw std::runtime_error("bad thread");
        seen[thread].push_back(seq);
      }
    });
    pipe.CloseRead();  // on an early stop the writers fail instead of blocking
  });

  std::latch start(2);
  std::array<std::string, 2> writerErrors;
  std::vector<std::thread> writers;
  for (int t = 0; t < 2; ++t) {
    writers.emplace_back([&, t] {
      start.arrive_and_wait();
      writerErrors[t] = ErrorCodeOf([&] {
        for (int seq = 0; seq < kFramesPerThread; ++seq) {
          if (seq % 2 == 0) {
            writer.WriteJson(
                Json{{"thread", t}, {"seq", seq}, {"pad", std::string(PadSize(t, seq), 'p')}});
          } else {
            writer.WriteBinary(BinaryId(t, seq), Bytes(PayloadSize(t, seq), PayloadByte(t, seq)));
          }
        }
      });
    });
  }
  for (std::thread& w : writers) w.join();
  pipe.CloseWrite();
  readerThread.join();

  EXPECT_EQ(writerErrors[0], "no error");
  EXPECT_EQ(writerErrors[1], "no error");
  ASSERT_EQ(readerError, "no error");
  std::vector<int> inOrder(kFramesPerThread);
  for (int i = 0; i < kFramesPerThread; ++i) inOrder[i] = i;
  EXPECT_EQ(seen[0], inOrder);
  EXPECT_EQ(seen[1], inOrder);
}

#endif  // _WIN32

}  // namespace
}  // namespace velmora::computer_use
