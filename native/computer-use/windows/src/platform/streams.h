// The standard input and output of the helper.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::computer_use::platform {

enum class IoStatus {
  kOk,          // `bytes` moved; a read of 0 bytes is the end of the stream
  kBrokenPipe,  // the other end is closed
  kFailed,
};

struct IoResult {
  IoStatus status = IoStatus::kFailed;
  std::size_t bytes = 0;
};

// One read call on a pipe; callers pass at most 64 KiB.
class InputStream {
 public:
  virtual ~InputStream() = default;
  virtual IoResult Read(std::uint8_t* buffer, std::size_t count) = 0;
};

// One write call on a pipe; callers pass at most 64 KiB.
class OutputStream {
 public:
  virtual ~OutputStream() = default;
  virtual IoResult Write(const std::uint8_t* buffer, std::size_t count) = 0;
};

}  // namespace velmora::computer_use::platform
