// The mark of the helper's own synthetic input: every event it injects carries it in its extra
// information, and the monitors that watch the user ignore the events that do.
#pragma once

#include <cstdint>

namespace velmora::computer_use {

inline constexpr std::uintptr_t kOwnInputMarker = 0x564C4D52;  // "VLMR"

}  // namespace velmora::computer_use
