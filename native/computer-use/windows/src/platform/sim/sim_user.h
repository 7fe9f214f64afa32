// The simulated user: carries out one command line of the user's channel on the desktop, as the
// user's own physical input (not injected, extra information 0) unless the command says
// otherwise, and answers once everything it set off has been delivered.
#pragma once

#include <string>
#include <string_view>

#include "platform/sim/sim_automation.h"
#include "platform/sim/sim_input.h"
#include "platform/sim/sim_message_loop.h"
#include "platform/sim/sim_session.h"
#include "platform/sim/sim_user_commands.h"
#include "platform/sim/sim_windows.h"

namespace velmora::computer_use::platform::sim {

class SimUser {
 public:
  SimUser(SimInput& input, SimWindows& windows, SimSessions& sessions, SimAutomation& automation,
          SimMessageLoops& loops)
      : input_(input),
        windows_(windows),
        sessions_(sessions),
        automation_(automation),
        loops_(loops) {}

  // "ok", or "error " and the reason; a refused command changes nothing.
  std::string Execute(std::string_view line);

 private:
  std::string Run(const UserCommand& command);
  void Click(const UserCommand& command, std::uint32_t flags);

  SimInput& input_;
  SimWindows& windows_;
  SimSessions& sessions_;
  SimAutomation& automation_;
  SimMessageLoops& loops_;
};

}  // namespace velmora::computer_use::platform::sim
