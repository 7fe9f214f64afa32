// Simulated identifiers and wall clock: GUIDs from a counter (or a failure), a settable time.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/system.h"

namespace velmora::computer_use::platform::sim {

class SimSystem final : public SystemApi {
 public:
  std::optional<Guid> CreateGuid() override;
  std::u16string GuidToString(const Guid& guid) override;
  std::uint64_t SystemTimeAsFileTime() override;

  // The steady clock, or a clock that only tests move once they have set it.
  std::uint64_t TickCount64() override {
    if (manualTicks_) return tickOffset_;
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(
               std::chrono::duration_cast<std::chrono::milliseconds>(now).count()) +
           tickOffset_;
  }

  // With the manual clock, moves it on at once instead of pausing.
  void Sleep(std::chrono::milliseconds duration) override {
    if (manualTicks_) {
      tickOffset_ += static_cast<std::uint64_t>(std::max<std::int64_t>(duration.count(), 0));
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(duration);
    }
  }

  void SetGuidFails(bool fails) { guidFails_ = fails; }
  void SetManualTicks(std::uint64_t ticks) {
    tickOffset_ = ticks;
    manualTicks_ = true;
  }
  void AdvanceTicks(std::uint64_t milliseconds) { tickOffset_ += milliseconds; }
  void SetFileTime(std::uint64_t fileTime) { fileTime_ = fileTime; }
  // The operating system's clock from now on, as the Linux helper has it; tests keep the
  // fixed one.
  void UseRealClock() { realClock_ = true; }

 private:
  std::atomic<bool> guidFails_{false};
  std::atomic<std::uint64_t> tickOffset_{1};
  std::atomic<bool> manualTicks_{false};
  std::atomic<std::uint64_t> nextGuid_{1};
  // 2026-01-01T00:00:00Z
  std::atomic<std::uint64_t> fileTime_{134116992000000000ull};
  std::atomic<bool> realClock_{false};
};

}  // namespace velmora::computer_use::platform::sim
