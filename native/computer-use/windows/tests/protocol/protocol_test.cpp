// Frame codec: the bytes on the wire, the limits, the error codes, chunking and the writer lock.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <future>
#include <latch>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

using fakes::FakeInput;
using fakes::FakeOutput;
using platform::IoStatus;
using testing::FailureCode;
using Bytes = std::vector<std::uint8_t>;

// The documented limits, written out: a change to the constants must break these tests.
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

Bytes Cut(Bytes bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
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
  return Frame{FrameKind::Json, std::move(json), {}, {}};
}

Frame BinaryFrame(std::string id, Bytes payload) {
  return Frame{FrameKind::Binary, {}, std::move(id), std::move(payload)};
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

std::string ReadCode(const Bytes& data) {
  FakeInput input(data);
  FrameReader reader(input);
  return FailureCode([&] { reader.Read(); });
}

// ---------------------------------------------------------------------------------------------
// Reader.

TEST(FrameReaderTest, MalformedInputThrowsItsCode) {
  struct Row {
    const char* name;
    Bytes input;
    const char* code;
  };
  // The JSON text itself is judged by ParseJsonObject (json_envelopes_test); these rows check
  // that the reader hands it exactly the text, and to the strict parser.
  const Row rows[] = {
      {"LengthZero", Header(0), "frame_too_large"},
      {"LengthZeroFollowedByBytes", Concat({Header(0), ToBytes("\x01{}")}), "frame_too_large"},
      // Only the header: the length must be judged before the body is awaited.
      {"LengthOnePastMaximum", Header(kMaxFrame + 1), "frame_too_large"},
      {"LengthAllOnes", Header(0xFFFFFFFF), "frame_too_large"},
      {"LengthHighByteOnly", Header(0x01000000), "frame_too_large"},
      {"EndAfterHeader", Header(5), "truncated_frame"},
      {"EndInsideJsonBody", Concat({Header(10), ToBytes("\x01{\"a\"")}), "truncated_frame"},
      {"EndOneByteShortOfBinaryBody", Cut(EncodeBinary("req", Pattern(100'000, 1)), 100'009),
       "truncated_frame"},
      {"MaximumLengthJudgedAsJson", EncodeJson(JsonTextOfSize(kMaxFrame - 1)),
       "json_frame_too_large"},
      {"JsonTextOnePastLimit", EncodeJson(JsonTextOfSize(kMaxJsonText + 1)),
       "json_frame_too_large"},
      {"JsonEmptyText", EncodeJson(""), "invalid_json_frame"},
      {"JsonTrailingNul", EncodeJson(std::string_view("{}\0", 3)), "invalid_json_frame"},
      {"JsonByteOrderMark", EncodeJson("\xEF\xBB\xBF{}"), "invalid_json_frame"},
      {"BinaryLengthOne", RawFrame(1, 2, {}), "invalid_frame_kind"},
      {"BinaryLengthTwo", RawFrame(2, 2, {0}), "invalid_frame_kind"},
      {"BinaryIdLengthZero", RawFrame(4, 2, {0, 0, 'x'}), "invalid_request_id"},
      {"BinaryIdLength129", RawFrame(3 + 129 + 1, 2, Concat({{0, 129}, Bytes(130, 'i')})),
       "invalid_request_id"},
      // 01 00 is 256 big-endian (1 if read the other way round).
      {"BinaryIdLength256", RawFrame(3 + 256, 2, Concat({{1, 0}, Bytes(256, 'i')})),
       "invalid_request_id"},
      {"BinaryIdPastFrameEnd", RawFrame(3 + 4, 2, {0, 5, 'a', 'b', 'c', 'd'}),
       "invalid_request_id"},
      {"BinaryPayloadOnePastLimit", EncodeBinary("r", Bytes(kMaxPayload + 1, 7)),
       "binary_frame_too_large"},
      {"KindZero", RawFrame(3, 0, ToBytes("{}")), "invalid_frame_kind"},
      {"KindThree", RawFrame(3, 3, ToBytes("{}")), "invalid_frame_kind"},
      {"KindFF", RawFrame(3, 0xFF, ToBytes("{}")), "invalid_frame_kind"},
      {"KindThreeAtMaximumLength", RawFrame(kMaxFrame, 3, Bytes(kMaxFrame - 1, 0)),
       "invalid_frame_kind"}};
  for (const Row& row : rows) EXPECT_EQ(ReadCode(row.input), row.code) << row.name;
}

TEST(FrameReaderTest, EndOfInputAndFailedReads) {
  const Bytes frame = EncodeBinary("id", Pattern(200'000, 5));
  for (const IoStatus end : {IoStatus::kOk, IoStatus::kBrokenPipe}) {
    // A header cut anywhere after a whole frame is a clean end; a cut body is not.
    for (std::size_t cut = 0; cut < 4; ++cut) {
      SCOPED_TRACE(::testing::Message()
                   << "end status " << static_cast<int>(end) << ", cut " << cut);
      FakeInput input(Concat({EncodeJson("{}"), Cut(Header(3), cut)}), {}, end);
      FrameReader reader(input);
      ExpectFrame(reader.Read(), JsonFrame(Json::object()));
      EXPECT_FALSE(reader.Read().has_value());
    }
    FakeInput cutBody(Cut(frame, 4 + 500), {}, end);
    FrameReader cutReader(cutBody);
    EXPECT_EQ(FailureCode([&] { cutReader.Read(); }), "truncated_frame") << static_cast<int>(end);
  }
  // Fails at the first byte, inside the header, at the body's start, and in a later chunk.
  for (const std::size_t at : {0, 2, 4, 150'000}) {
    FakeInput input(Cut(frame, at), {}, IoStatus::kFailed);
    FrameReader reader(input);
    EXPECT_EQ(FailureCode([&] { reader.Read(); }), "pipe_read_failed") << at;
  }
}

TEST(FrameReaderTest, LargestFramesInReadsOfAtMost64KiB) {
  const std::string id(128, 'i');
  const Bytes payload = Pattern(kMaxPayload, 6);
  const Bytes biggest = EncodeBinary(id, payload);
  ASSERT_EQ(biggest.size(), 4 + kMaxFrame);
  const std::string text = JsonTextOfSize(kMaxJsonText);
  FakeInput input(Concat({biggest, EncodeJson(text)}));
  FrameReader reader(input);
  ExpectFrame(reader.Read(), BinaryFrame(id, payload));
  ExpectFrame(reader.Read(), JsonFrame(Json::parse(text)));
  EXPECT_FALSE(reader.Read().has_value());
  ASSERT_FALSE(input.requested().empty());
  for (std::size_t size : input.requested()) {
    ASSERT_GE(size, 1u);
    ASSERT_LE(size, kChunk);
  }
}

TEST(FrameReaderTest, SameFramesWhateverTheDelivery) {
  std::mt19937 random(1234);
  std::uniform_int_distribution<std::size_t> size(1, 70'000);
  std::vector<std::size_t> randomPieces(997);
  for (auto& piece : randomPieces) piece = size(random);

  const Bytes payload = Pattern(100'000, 7);
  const std::string bigText = JsonTextOfSize(100'000);
  const Json small{{"type", "request"}, {"requestId", "r1"}, {"n", 3}};
  const Bytes stream =
      Concat({EncodeJson(small.dump()), EncodeBinary("r1", payload), EncodeJson(bigText),
              EncodeBinary("r2", {0}), EncodeBinary("e", {})});
  const std::vector<std::size_t> deliveries[] = {{1}, {7}, {4096}, {3, 1, 65'535, 2}, randomPieces};
  for (const std::vector<std::size_t>& pieces : deliveries) {
    SCOPED_TRACE(::testing::Message() << pieces.size() << " piece sizes from " << pieces[0]);
    FakeInput input(stream, pieces);
    FrameReader reader(input);
    ExpectFrame(reader.Read(), JsonFrame(small));
    ExpectFrame(reader.Read(), BinaryFrame("r1", payload));
    ExpectFrame(reader.Read(), JsonFrame(Json::parse(bigText)));
    ExpectFrame(reader.Read(), BinaryFrame("r2", {0}));
    ExpectFrame(reader.Read(), BinaryFrame("e", {}));
    EXPECT_FALSE(reader.Read().has_value());
    EXPECT_EQ(input.consumed(), stream.size());
  }
}

// ---------------------------------------------------------------------------------------------
// Writer.

TEST(FrameWriterTest, BytesOnTheWireOrNothing) {
  struct Row {
    const char* name;
    std::function<void(FrameWriter&)> write;
    const char* code;  // empty when the frame is written
    Bytes bytes;
  };
  const Row rows[] = {
      {"Json",
       [](FrameWriter& w) {
         w.WriteJson(Json{{"a", "bc"}});
       },
       "", Concat({{0x00, 0x00, 0x00, 0x0B, 0x01}, ToBytes("{\"a\":\"bc\"}")})},
      {"JsonIsCompact",
       [](FrameWriter& w) {
         w.WriteJson(Json::parse(R"({ "k" : [ 1 , 2.5 , { "x" : null } ] , "t" : true })"));
       },
       "", EncodeJson(R"({"k":[1,2.5,{"x":null}],"t":true})")},
      {"Binary",
       [](FrameWriter& w) {
         w.WriteBinary("ab", {1, 2, 3});
       },
       "", Bytes{0, 0, 0, 8, 2, 0, 2, 'a', 'b', 1, 2, 3}},
      {"JsonTextOnePastLimit",
       [](FrameWriter& w) { w.WriteJson(Json::parse(JsonTextOfSize(kMaxJsonText + 1))); },
       "json_frame_too_large",
       {}},
      {"EmptyId", [](FrameWriter& w) { w.WriteBinary("", {1}); }, "invalid_request_id", {}},
      {"Id129Bytes",
       [](FrameWriter& w) { w.WriteBinary(std::string(129, 'i'), {1}); },
       "invalid_request_id",
       {}},
      {"PayloadOnePastLimit",
       [](FrameWriter& w) { w.WriteBinary("r", Bytes(kMaxPayload + 1, 1)); },
       "binary_frame_too_large",
       {}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeOutput output;
    FrameWriter writer(output);
    EXPECT_EQ(FailureCode([&] { row.write(writer); }), row.code);
    EXPECT_EQ(output.bytes(), row.bytes);
    if (*row.code != '\0') {
      EXPECT_TRUE(output.calls().empty());
    }
  }
}

TEST(FrameWriterTest, LargestFramesInWritesOfAtMost64KiB) {
  const std::string id(128, 'i');
  const Bytes payload = Pattern(kMaxPayload, 9);
  const std::string text = JsonTextOfSize(kMaxJsonText);
  FakeOutput output;
  FrameWriter writer(output);
  writer.WriteBinary(id, payload);
  writer.WriteJson(Json::parse(text));
  ASSERT_EQ(output.bytes().size(), 4 + kMaxFrame + 4 + 1 + kMaxJsonText);
  EXPECT_TRUE(output.bytes() == Concat({EncodeBinary(id, payload), EncodeJson(text)}));
  for (std::size_t size : output.calls()) {
    ASSERT_GE(size, 1u);
    ASSERT_LE(size, kChunk);
  }
}

TEST(FrameWriterTest, ShortWritesAreContinued) {
  const Bytes payload = Pattern(150'000, 10);
  const std::string text = JsonTextOfSize(70'000);
  const Bytes expected = Concat({EncodeBinary("req-7", payload), EncodeJson(text)});
  for (const std::size_t maxPerCall : {1, 2, 7, 4095, 65'535}) {
    SCOPED_TRACE(maxPerCall);
    FakeOutput output({.maxPerCall = maxPerCall});
    FrameWriter writer(output);
    writer.WriteBinary("req-7", payload);
    writer.WriteJson(Json::parse(text));
    EXPECT_TRUE(output.bytes() == expected);
  }
}

TEST(FrameWriterTest, FailedWriteThrowsPipeWriteFailed) {
  struct Row {
    const char* name;
    std::size_t failAfter;
    IoStatus status;
  };
  const Row rows[] = {{"FailedAtStart", 0, IoStatus::kFailed},
                      {"BrokenPipeAtStart", 0, IoStatus::kBrokenPipe},
                      {"ZeroBytesAtStart", 0, IoStatus::kOk},
                      {"FailedInsideHeader", 3, IoStatus::kFailed},
                      {"ZeroBytesAfterHeader", 5, IoStatus::kOk},
                      {"BrokenPipeInSecondChunk", 70'000, IoStatus::kBrokenPipe},
                      {"ZeroBytesInLastChunk", 199'000, IoStatus::kOk}};
  const std::pair<const char*, std::function<void(FrameWriter&)>> writes[] = {
      {"binary", [](FrameWriter& w) { w.WriteBinary("r", Pattern(200'000, 11)); }},
      {"json", [](FrameWriter& w) { w.WriteJson(Json::parse(JsonTextOfSize(200'000))); }}};
  for (const Row& row : rows) {
    for (const auto& [kind, writeFrame] : writes) {
      SCOPED_TRACE(::testing::Message() << row.name << ", " << kind);
      const std::function<void(FrameWriter&)>& write = writeFrame;
      // Many failures in a row: a writer that retried them would then complete.
      FakeOutput output({.failAfter = row.failAfter, .failStatus = row.status, .failCount = 1000});
      FrameWriter writer(output);
      EXPECT_EQ(FailureCode([&] { write(writer); }), "pipe_write_failed");
      EXPECT_EQ(output.bytes().size(), row.failAfter);
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

struct Pipe {
  Pipe() {
    std::array<int, 2> fds{-1, -1};
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) return;
    read.Reset(fds[0]);
    write.Reset(fds[1]);
  }
  UniqueFd read;
  UniqueFd write;
};

class RealPipeTest : public ::testing::Test {
 protected:
  // A write to a pipe whose reader is gone must fail with EPIPE, not kill the test process.
  static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }
};

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
  ASSERT_TRUE(pipe.read.Valid() && pipe.write.Valid());
  FdOutputStream output(pipe.write.Get());
  FrameWriter writer(output);

  std::array<std::vector<int>, 2> seen;
  std::string readerError;
  std::thread readerThread([&] {
    readerError = FailureCode([&] {
      FdInputStream input(pipe.read.Get());
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
    pipe.read.Reset();  // on an early stop the writers fail instead of blocking
  });

  std::latch start(2);
  std::array<std::string, 2> writerErrors;
  std::vector<std::thread> writers;
  writers.reserve(2);
  for (int t = 0; t < 2; ++t) {
    writers.emplace_back([&, t] {
      start.arrive_and_wait();
      writerErrors[t] = FailureCode([&] {
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
  pipe.write.Reset();
  readerThread.join();

  EXPECT_EQ(writerErrors[0], "");
  EXPECT_EQ(writerErrors[1], "");
  ASSERT_EQ(readerError, "");
  std::vector<int> inOrder(kFramesPerThread);
  for (int i = 0; i < kFramesPerThread; ++i) inOrder[i] = i;
  EXPECT_EQ(seen[0], inOrder);
  EXPECT_EQ(seen[1], inOrder);
}

#endif  // _WIN32

}  // namespace
}  // namespace velmora::computer_use
