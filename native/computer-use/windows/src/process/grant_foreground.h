// The one-shot mode that passes the foreground right to a sibling helper instance.
#pragma once

#include <string_view>

#include "common/text_case.h"
#include "platform/platform.h"

namespace velmora::computer_use {

// Checks the target, prints one line {"granted":...,"reason":"..."} and answers exit code 0.
int GrantForeground(platform::Platform& platform, std::u16string_view argument);

// The parent of the process, or 0 when it is not in a process snapshot.
platform::ProcessId ParentProcessId(platform::ProcessApi& processes, platform::ProcessId processId);

void WriteGrantResult(platform::OutputStream& output, bool granted, std::string_view reason);

}  // namespace velmora::computer_use
