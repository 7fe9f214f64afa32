// What the observer reads about the process behind a window.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/types.h"

namespace velmora::computer_use::platform {

class ProcessInfoApi {
 public:
  virtual ~ProcessInfoApi() = default;

  // The full image path in Win32 form, read with limited query rights (buffer of 32,768
  // units); none when the process cannot be opened or queried.
  virtual std::optional<std::u16string> QueryImagePath(ProcessId processId) = 0;
  // The relative identifier of the token's mandatory label (0x2000 medium, 0x3000 high); none
  // when the process, its token or the label cannot be read.
  virtual std::optional<std::uint32_t> QueryIntegrityLevel(ProcessId processId) = 0;
};

}  // namespace velmora::computer_use::platform
