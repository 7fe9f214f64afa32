#include "helper_client.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace velmora::computer_use::client {
namespace {

using Clock = std::chrono::steady_clock;

bool HasStringMember(const nlohmann::json& object, const char* key, std::string_view expected) {
  if (!object.is_object()) return false;
  const auto found = object.find(key);
  return found != object.end() && found->is_string() &&
         found->get_ref<const std::string&>() == expected;
}

}  // namespace

class FrameLog {
 public:
  // Null when VELMORA_FRAME_LOG_DIR is unset; throws when the file cannot be made, so a schema
  // check never passes on traffic it did not see.
  static std::unique_ptr<FrameLog> FromEnvironment() {
    const char* directory = std::getenv("VELMORA_FRAME_LOG_DIR");
    if (directory == nullptr || *directory == '\0') return nullptr;
    static std::atomic<unsigned> nextNumber{1};
    const std::string path = std::string(directory) + "/frames-" +
                             std::to_string(CurrentProcessId()) + "-" +
                             std::to_string(nextNumber++) + ".jsonl";
    auto log = std::make_unique<FrameLog>();
    log->out_.open(path, std::ios::out | std::ios::trunc);
    if (!log->out_) throw std::runtime_error("cannot write the frame log " + path);
    return log;
  }

  void Write(bool toHelper, const ClientFrame& frame) {
    nlohmann::json line = {{"toHelper", toHelper}};
    if (frame.kind == kJsonFrameKind) {
      line["frame"] = frame.json;
    } else {
      line["binary"] = frame.binaryId;
      line["bytes"] = frame.payload.size();
    }
    std::lock_guard lock(mutex_);
    out_ << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n'
         << std::flush;
  }

  // Raw bytes are not decoded; the marker tells the checker that answers to them may follow.
  void WriteRaw(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    out_ << nlohmann::json{{"toHelper", true}, {"raw", bytes}}.dump() << '\n' << std::flush;
  }

 private:
  std::mutex mutex_;  // the sending threads and the reader write lines
  std::ofstream out_;
};

HelperClient::HelperClient(std::unique_ptr<HelperProcess> process) : process_(std::move(process)) {
  if (!process_) throw std::invalid_argument("HelperClient needs a process");
  frameLog_ = FrameLog::FromEnvironment();
  reader_ = std::thread(&HelperClient::ReadLoop, this);
}

HelperClient::~HelperClient() {
  process_->CloseInput();
  if (!process_->WaitExit(std::chrono::seconds(5))) {
    process_->Terminate();
    process_->WaitExit(std::chrono::seconds(5));
  }
  // The output normally ends with the helper; a descendant that inherited it could keep it open.
  WaitForEnd(std::chrono::seconds(1));
  process_->StopReading();
  if (reader_.joinable()) reader_.join();
}

void HelperClient::SetObserver(FrameObserver observer) {
  std::lock_guard lock(observerMutex_);
  observer_ = std::move(observer);
}

void HelperClient::Notify(bool toHelper, const ClientFrame& frame) {
  if (frameLog_) frameLog_->Write(toHelper, frame);
  FrameObserver observer;
  {
    std::lock_guard lock(observerMutex_);
    observer = observer_;
  }
  if (observer) observer(toHelper, frame);
}

bool HelperClient::Send(const nlohmann::json& object) {
  const std::vector<std::uint8_t> bytes = EncodeJsonFrame(object);
  const ClientFrame frame{kJsonFrameKind, object, {}, {}};
  std::lock_guard lock(sendMutex_);
  Notify(true, frame);
  return process_->WriteBytes(bytes);
}

bool HelperClient::SendBytes(const std::vector<std::uint8_t>& raw) {
  std::lock_guard lock(sendMutex_);
  if (frameLog_) frameLog_->WriteRaw(raw.size());
  return process_->WriteBytes(raw);
}

nlohmann::json HelperClient::Handshake(std::optional<std::string> nonce,
                                       std::optional<std::uint32_t> parentPid) {
  const nlohmann::json handshake = {
      {"type", "handshake"},
      {"protocolVersion", 1},
      {"nonce", nonce ? *nonce : MakeNonce()},
      {"parentPid", parentPid ? *parentPid : static_cast<std::uint32_t>(CurrentProcessId())},
  };
  const std::size_t fromIndex = FrameCount();
  if (!Send(handshake)) throw std::runtime_error("could not write the handshake to the helper");
  const auto index = WaitFor(
      [](const ClientFrame& frame) {
        return frame.kind == kJsonFrameKind && HasStringMember(frame.json, "type", "handshake_ack");
      },
      std::chrono::seconds(5), fromIndex);
  if (!index) {
    throw std::runtime_error(
        "no handshake_ack from the helper within 5 s or before its output ended");
  }
  std::lock_guard lock(logMutex_);
  return frames_[*index].json;
}

std::string HelperClient::NewRequestId() {
  return "r" + std::to_string(nextRequestNumber_++);
}

nlohmann::json HelperClient::Request(const std::string& method, const nlohmann::json& payload,
                                     std::chrono::milliseconds timeout,
                                     std::optional<std::string> requestId) {
  const std::string id = requestId ? *requestId : NewRequestId();
  nlohmann::json request = {{"type", "request"}, {"requestId", id}, {"method", method}};
  if (!payload.is_null()) request["payload"] = payload;
  const std::size_t fromIndex = FrameCount();
  if (!Send(request)) {
    throw std::runtime_error("could not write request " + id + " (" + method + ") to the helper");
  }
  const auto index = WaitFor(
      [&id](const ClientFrame& frame) {
        return frame.kind == kJsonFrameKind && HasStringMember(frame.json, "type", "response") &&
               HasStringMember(frame.json, "requestId", id);
      },
      timeout, fromIndex);
  if (!index) {
    throw std::runtime_error("no response to request " + id + " (" + method + ") within " +
                             std::to_string(timeout.count()) + " ms or before the output ended");
  }
  std::lock_guard lock(logMutex_);
  return frames_[*index].json;
}

std::optional<std::size_t> HelperClient::WaitFor(
    const std::function<bool(const ClientFrame&)>& match, std::chrono::milliseconds timeout,
    std::size_t fromIndex) {
  const auto deadline = Clock::now() + timeout;
  std::unique_lock lock(logMutex_);
  std::size_t next = fromIndex;
  while (true) {
    for (; next < frames_.size(); ++next) {
      if (match(frames_[next])) return next;
    }
    // After an error or the end no frame can arrive any more.
    if (readerDone_ || readerError_) return std::nullopt;
    if (Clock::now() >= deadline) return std::nullopt;
    logChanged_.wait_until(lock, deadline);
  }
}

bool HelperClient::WaitForEnd(std::chrono::milliseconds timeout) {
  std::unique_lock lock(logMutex_);
  logChanged_.wait_for(lock, timeout, [this] { return readerDone_; });
  return reachedEof_;
}

std::vector<ClientFrame> HelperClient::Frames() const {
  std::lock_guard lock(logMutex_);
  return frames_;
}

std::size_t HelperClient::FrameCount() const {
  std::lock_guard lock(logMutex_);
  return frames_.size();
}

std::optional<std::string> HelperClient::ReaderError() const {
  std::lock_guard lock(logMutex_);
  return readerError_;
}

void HelperClient::FinishReading(std::optional<std::string> error, bool reachedEof) {
  std::lock_guard lock(logMutex_);
  if (error && !readerError_) readerError_ = std::move(error);
  readerDone_ = true;
  reachedEof_ = reachedEof;
  logChanged_.notify_all();
}

void HelperClient::ReadLoop() {
  FrameDecoder decoder;
  std::vector<std::uint8_t> chunk(65536);
  // After a violation the rest of the stream is drained unparsed so the helper never blocks on a
  // full pipe and the end of its output is still seen.
  bool discarding = false;
  try {
    while (true) {
      const std::optional<std::size_t> received = process_->ReadOutput(chunk.data(), chunk.size());
      if (!received) {
        FinishReading(std::nullopt, false);
        return;
      }
      if (*received == 0) {
        std::optional<std::string> truncated;
        if (!discarding && decoder.PendingBytes() > 0) {
          truncated = "the helper output ended inside a frame (" +
                      std::to_string(decoder.PendingBytes()) + " bytes pending)";
        }
        FinishReading(std::move(truncated), true);
        return;
      }
      if (discarding) continue;
      decoder.Feed(chunk.data(), *received);
      while (auto frame = decoder.Next()) {
        Notify(false, *frame);
        std::lock_guard lock(logMutex_);
        frames_.push_back(std::move(*frame));
        logChanged_.notify_all();
      }
      if (decoder.Error()) {
        std::lock_guard lock(logMutex_);
        readerError_ = *decoder.Error();
        logChanged_.notify_all();
        discarding = true;
      }
    }
  } catch (const std::exception& error) {
    FinishReading(std::string("reader stopped: ") + error.what(), false);
  }
}

}  // namespace velmora::computer_use::client
