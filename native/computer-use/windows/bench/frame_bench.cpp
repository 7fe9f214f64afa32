// Frame codec throughput through a real pipe, against raw bytes through the same kind of pipe.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frame_protocol.h"
#include "protocol/json.h"

namespace velmora::computer_use {
namespace {

using platform::IoResult;
using platform::IoStatus;
using Bytes = std::vector<std::uint8_t>;

constexpr int kPipeCapacity = 1 << 20;

IoResult FromSyscall(ssize_t n) {
  if (n >= 0) return {IoStatus::kOk, static_cast<std::size_t>(n)};
  return {errno == EPIPE ? IoStatus::kBrokenPipe : IoStatus::kFailed, 0};
}

class FdInput : public platform::InputStream {
 public:
  explicit FdInput(int fd) : fd_(fd) {}
  IoResult Read(std::uint8_t* buffer, std::size_t count) override {
    ssize_t n;
    do {
      n = ::read(fd_, buffer, count);
    } while (n < 0 && errno == EINTR);
    return FromSyscall(n);
  }

 private:
  int fd_;
};

class FdOutput : public platform::OutputStream {
 public:
  explicit FdOutput(int fd) : fd_(fd) {}
  IoResult Write(const std::uint8_t* buffer, std::size_t count) override {
    ssize_t n;
    do {
      n = ::write(fd_, buffer, count);
    } while (n < 0 && errno == EINTR);
    return FromSyscall(n);
  }

 private:
  int fd_;
};

// Collects the encoded frame bytes.
class VectorOutput : public platform::OutputStream {
 public:
  IoResult Write(const std::uint8_t* buffer, std::size_t count) override {
    bytes.insert(bytes.end(), buffer, buffer + count);
    return {IoStatus::kOk, count};
  }
  Bytes bytes;
};

class BenchPipe {
 public:
  BenchPipe() {
    std::signal(SIGPIPE, SIG_IGN);
    if (::pipe2(fds_.data(), O_CLOEXEC) != 0) {
      fds_ = {-1, -1};
      return;
    }
    (void)::fcntl(fds_[1], F_SETPIPE_SZ, kPipeCapacity);  // best effort, alike for all variants
  }
  ~BenchPipe() {
    CloseRead();
    CloseWrite();
  }
  BenchPipe(const BenchPipe&) = delete;
  BenchPipe& operator=(const BenchPipe&) = delete;

  bool ok() const { return fds_[0] >= 0; }
  int readFd() const { return fds_[0]; }
  int writeFd() const { return fds_[1]; }
  void CloseRead() { Close(0); }
  void CloseWrite() { Close(1); }

 private:
  void Close(int end) {
    if (fds_[end] >= 0) ::close(fds_[end]);
    fds_[end] = -1;
  }
  std::array<int, 2> fds_{-1, -1};
};

const std::string kRequestId = "bench-request-0001";

Bytes Payload4MiB() {
  Bytes payload(MaxBinaryPayloadBytes);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 131);
  return payload;
}

// {"data":"xxx..."}: exactly MaxJsonTextBytes of text.
Json Json1MiB() {
  return Json{{"data", std::string(MaxJsonTextBytes - 11, 'x')}};
}

Bytes Encode(const std::function<void(FrameWriter&)>& write) {
  VectorOutput output;
  FrameWriter writer(output);
  write(writer);
  return output.bytes;
}

// Writes `size` bytes with calls of at most IoChunkBytes; false on a failed write.
bool WriteRaw(int fd, const std::uint8_t* data, std::size_t size) {
  FdOutput output(fd);
  try {
    WriteAll(output, data, size);
  } catch (const ProtocolError&) {
    return false;
  }
  return true;
}

// The benchmark thread writes frames with FrameWriter; another thread decodes them.
void RunWriteBenchmark(benchmark::State& state, const std::function<void(FrameWriter&)>& write,
                       FrameKind kind, std::size_t frameBytes) {
  BenchPipe pipe;
  if (!pipe.ok()) {
    state.SkipWithError("pipe2 failed");
    return;
  }
  std::int64_t decoded = 0;
  std::string readerError;
  std::thread reader([&] {
    try {
      FdInput input(pipe.readFd());
      FrameReader frames(input);
      while (std::optional<Frame> frame = frames.Read()) {
        if (frame->kind != kind) throw std::runtime_error("unexpected frame kind");
        benchmark::DoNotOptimize(frame->payload.data());
        ++decoded;
      }
    } catch (const std::exception& error) {
      readerError = error.what();
    }
    pipe.CloseRead();
  });

  std::string writerError;
  {
    FdOutput output(pipe.writeFd());
    FrameWriter writer(output);
    try {
      for (auto _ : state) write(writer);
    } catch (const std::exception& error) {
      writerError = error.what();
    }
  }
  pipe.CloseWrite();
  reader.join();

  if (!writerError.empty()) {
    state.SkipWithError(("writer: " + writerError).c_str());
  } else if (!readerError.empty()) {
    state.SkipWithError(("reader: " + readerError).c_str());
  } else if (decoded != static_cast<std::int64_t>(state.iterations())) {
    state.SkipWithError("frame count mismatch");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frameBytes));
}

// Another thread writes pre-encoded frames raw; the benchmark thread decodes them.
void RunReadBenchmark(benchmark::State& state, const Bytes& encoded, FrameKind kind) {
  BenchPipe pipe;
  if (!pipe.ok()) {
    state.SkipWithError("pipe2 failed");
    return;
  }
  const benchmark::IterationCount count = state.max_iterations;
  std::thread writer([&] {
    for (benchmark::IterationCount i = 0; i < count; ++i) {
      if (!WriteRaw(pipe.writeFd(), encoded.data(), encoded.size())) break;
    }
    pipe.CloseWrite();
  });

  FdInput input(pipe.readFd());
  FrameReader frames(input);
  std::string error;
  try {
    for (auto _ : state) {
      std::optional<Frame> frame = frames.Read();
      if (!frame || frame->kind != kind) {
        error = "missing or unexpected frame";
        break;
      }
      benchmark::DoNotOptimize(frame->payload.data());
      benchmark::DoNotOptimize(frame->json);
    }
  } catch (const std::exception& e) {
    error = e.what();
  }
  pipe.CloseRead();  // unblocks the writer after an early stop
  writer.join();

  if (!error.empty()) state.SkipWithError(error.c_str());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * encoded.size()));
}

void BM_WriteBinaryFrame4MiB(benchmark::State& state) {
  const Bytes payload = Payload4MiB();
  const std::size_t frameBytes = 4 + 1 + 2 + kRequestId.size() + payload.size();
  RunWriteBenchmark(
      state, [&](FrameWriter& writer) { writer.WriteBinary(kRequestId, payload); },
      FrameKind::Binary, frameBytes);
}

void BM_WriteJsonFrame1MiB(benchmark::State& state) {
  const Json object = Json1MiB();
  RunWriteBenchmark(
      state, [&](FrameWriter& writer) { writer.WriteJson(object); }, FrameKind::Json,
      4 + 1 + MaxJsonTextBytes);
}

void BM_ReadBinaryFrame4MiB(benchmark::State& state) {
  const Bytes payload = Payload4MiB();
  RunReadBenchmark(state,
                   Encode([&](FrameWriter& writer) { writer.WriteBinary(kRequestId, payload); }),
                   FrameKind::Binary);
}

void BM_ReadJsonFrame1MiB(benchmark::State& state) {
  const Json object = Json1MiB();
  RunReadBenchmark(state, Encode([&](FrameWriter& writer) { writer.WriteJson(object); }),
                   FrameKind::Json);
}

// The baseline: as many bytes as BM_WriteBinaryFrame4MiB moves, with no framing at all. Both
// ends move at most IoChunkBytes a call, like the codec.
void BM_RawPipe4MiB(benchmark::State& state) {
  const Bytes bytes(4 + 1 + 2 + kRequestId.size() + MaxBinaryPayloadBytes, 0x5A);
  BenchPipe pipe;
  if (!pipe.ok()) {
    state.SkipWithError("pipe2 failed");
    return;
  }
  std::int64_t received = 0;
  std::thread reader([&] {
    Bytes buffer(IoChunkBytes);
    for (;;) {
      const ssize_t n = ::read(pipe.readFd(), buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      benchmark::DoNotOptimize(buffer.data());
      received += n;
    }
    pipe.CloseRead();
  });
  bool failed = false;
  for (auto _ : state) {
    if (!WriteRaw(pipe.writeFd(), bytes.data(), bytes.size())) {
      failed = true;
      break;
    }
  }
  pipe.CloseWrite();
  reader.join();
  const auto total = static_cast<std::int64_t>(state.iterations() * bytes.size());
  if (failed || received != total) state.SkipWithError("raw transfer incomplete");
  state.SetBytesProcessed(total);
}

BENCHMARK(BM_WriteBinaryFrame4MiB)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteJsonFrame1MiB)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadBinaryFrame4MiB)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadJsonFrame1MiB)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawPipe4MiB)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmora::computer_use
