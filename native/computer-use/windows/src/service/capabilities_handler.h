// "capabilities", "permissions" and "permission.request": what this machine and the current
// foreground window allow. Never guarded: a parent asks them before anything else.
#pragma once

#include "platform/platform.h"
#include "protocol/json.h"

namespace velmora::computer_use {

Json Capabilities(platform::Platform& platform);
Json Permissions(platform::CaptureApi& capture);
// Nothing here needs a prompt: every kind the parent knows is granted.
Json RequestPermission(const Json& payload);

}  // namespace velmora::computer_use
