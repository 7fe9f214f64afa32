// The process entry's logic: the command line, start-up, the main loop and the shutdown order.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace velmora::computer_use {

inline constexpr int kExitOk = 0;
inline constexpr int kExitStartupFailed = 1;
inline constexpr int kExitBadCommandLine = 2;

enum class CommandMode { kHelper, kGrantForeground, kInvalid };

struct CommandLine {
  CommandMode mode = CommandMode::kInvalid;
  std::u16string grantTarget;
};

// The arguments after the program name.
CommandLine ParseCommandLine(const std::vector<std::u16string>& arguments);

// The long-lived helper: handshake, heartbeats, requests until the session ends.
int RunHelper(platform::Platform& platform);

// The whole process: picks the mode before any set-up, so that a wrong command line and the
// grant mode touch nothing else. `createPlatform` is called only for a valid command line.
int RunProcess(const std::vector<std::u16string>& arguments,
               std::unique_ptr<platform::SystemPlatform> (*createPlatform)());

}  // namespace velmora::computer_use
