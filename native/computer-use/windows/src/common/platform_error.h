// A failed platform call that carries its HRESULT. Deliberately not a standard exception: it
// has no error code of its own, and the dispatcher answers it with the generic failure.
#pragma once

#include <cstdint>

namespace velmora::computer_use {

struct PlatformError {
  std::int32_t hresult = 0;
};

}  // namespace velmora::computer_use
