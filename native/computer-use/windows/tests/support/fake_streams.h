// In-memory streams for the frame codec tests: scripted read sizes, recorded writes, failures.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "platform/streams.h"

namespace velmora::computer_use::fakes {

using platform::InputStream;
using platform::IoResult;
using platform::IoStatus;
using platform::OutputStream;

// Serves `data`; each call delivers at most the next scripted piece size (cycled; none = as much
// as asked). When the data is used up every call returns `endStatus` with 0 bytes (kOk = EOF).
class FakeInput : public InputStream {
 public:
  explicit FakeInput(std::vector<std::uint8_t> data, std::vector<std::size_t> pieces = {},
                     IoStatus endStatus = IoStatus::kOk)
      : data_(std::move(data)), pieces_(std::move(pieces)), endStatus_(endStatus) {}

  IoResult Read(std::uint8_t* buffer, std::size_t count) override {
    requested_.push_back(count);
    if (position_ == data_.size()) return {endStatus_, 0};
    std::size_t n = std::min(count, data_.size() - position_);
    if (!pieces_.empty()) {
      n = std::min(n, pieces_[pieceIndex_]);
      pieceIndex_ = (pieceIndex_ + 1) % pieces_.size();
    }
    std::memcpy(buffer, data_.data() + position_, n);
    position_ += n;
    return {IoStatus::kOk, n};
  }

  // The size of every Read call, in order.
  const std::vector<std::size_t>& requested() const { return requested_; }
  std::size_t consumed() const { return position_; }

 private:
  std::vector<std::uint8_t> data_;
  std::vector<std::size_t> pieces_;
  IoStatus endStatus_;
  std::size_t position_ = 0;
  std::size_t pieceIndex_ = 0;
  std::vector<std::size_t> requested_;
};

// Records every byte accepted and the size of every call. Accepts at most `maxPerCall` bytes a
// call. Once `failAfter` bytes are accepted, the next `failCount` calls return `failStatus`
// with 0 bytes (kOk = a write of nothing); later calls succeed again.
class FakeOutput : public OutputStream {
 public:
  struct Options {
    std::size_t maxPerCall = std::numeric_limits<std::size_t>::max();
    std::size_t failAfter = std::numeric_limits<std::size_t>::max();
    IoStatus failStatus = IoStatus::kFailed;
    std::size_t failCount = std::numeric_limits<std::size_t>::max();
  };

  FakeOutput() = default;
  explicit FakeOutput(Options options) : options_(options) {}

  IoResult Write(const std::uint8_t* buffer, std::size_t count) override {
    calls_.push_back(count);
    if (bytes_.size() >= options_.failAfter && options_.failCount > 0) {
      --options_.failCount;
      return {options_.failStatus, 0};
    }
    std::size_t n = std::min(count, options_.maxPerCall);
    if (bytes_.size() < options_.failAfter) n = std::min(n, options_.failAfter - bytes_.size());
    bytes_.insert(bytes_.end(), buffer, buffer + n);
    return {IoStatus::kOk, n};
  }

  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  // The size passed to every Write call, in order (failed calls included).
  const std::vector<std::size_t>& calls() const { return calls_; }

 private:
  Options options_;
  std::vector<std::uint8_t> bytes_;
  std::vector<std::size_t> calls_;
};

}  // namespace velmora::computer_use::fakes
