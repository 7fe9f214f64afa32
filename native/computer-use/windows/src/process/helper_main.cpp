#include "process/helper_main.h"

#include <atomic>
#include <mutex>
#include <optional>

#include "common/platform_error.h"
#include "process/grant_foreground.h"
#include "process/parent_watchdog.h"
#include "protocol/envelopes.h"
#include "protocol/frame_protocol.h"
#include "service/helper_service.h"

namespace velmora::computer_use {
namespace {

// The live service, for the console control handler only. The mutex makes clearing the
// pointer wait for a handler that is still using the service.
std::atomic<HelperService*> liveService{nullptr};
std::mutex liveServiceMutex;

void PublishService(HelperService* service) {
  std::lock_guard lock(liveServiceMutex);
  liveService.exchange(service);
}

bool ConsoleControlHandler(platform::ConsoleEvent /*event*/) {
  std::lock_guard lock(liveServiceMutex);
  if (HelperService* service = liveService.load()) service->StopAll(false);
  return false;  // the default handling ends the process
}

void SendHeartbeat(FrameWriter& writer) {
  try {
    writer.WriteJson(BuildHeartbeat());
  } catch (...) {
    // A lost heartbeat; a broken pipe is noticed by the next response or by the watchdog.
  }
}

// Runs frames until the input ends, "shutdown" is served or the session breaks.
void ServeSession(FrameReader& reader, FrameWriter& writer, HelperService& service,
                  ParentWatchdog& watchdog, platform::ProcessApi& processes) {
  bool handshakeDone = false;
  bool shutdownRequested = false;
  while (!shutdownRequested) {
    std::optional<Frame> frame = reader.Read();
    if (!frame) return;
    if (frame->kind == FrameKind::Binary) throw ProtocolError(ErrorCode::kUnexpectedBinaryFrame);
    if (!handshakeDone) {
      const Handshake handshake = CheckHandshake(frame->json);
      writer.WriteJson(BuildHandshakeAck(handshake.nonce));
      const bool watching = watchdog.Start(
          handshake.parentPid, [&writer] { SendHeartbeat(writer); },
          [&service, &processes] {
            service.StopAll(false);
            processes.ExitProcessNow(kExitOk);
          });
      if (!watching) throw ProtocolError(ErrorCode::kParentWatchdogFailed);
      handshakeDone = true;
      continue;
    }
    const RequestEnvelope envelope = CheckRequestEnvelope(frame->json);
    shutdownRequested = service.ServeRequest(envelope, frame->json);
  }
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::u16string>& arguments) {
  CommandLine commandLine;
  if (arguments.empty()) {
    commandLine.mode = CommandMode::kHelper;
  } else if (arguments.size() == 2 && arguments[0] == u"--grant-foreground") {
    commandLine.mode = CommandMode::kGrantForeground;
    commandLine.grantTarget = arguments[1];
  }
  return commandLine;
}

int RunHelper(platform::Platform& platform) {
  platform.runtime.SetPerMonitorDpiAwareV2();
  if (!platform.runtime.InitializeProcessApartment()) return kExitStartupFailed;

  FrameReader reader(platform.standardInput);
  FrameWriter writer(platform.standardOutput);
  std::optional<HelperService> service;
  try {
    service.emplace(platform, writer);
  } catch (const PlatformError&) {
    // No UI Automation client: nothing of the session can work.
    return kExitStartupFailed;
  }
  ParentWatchdog watchdog(platform.processes);
  PublishService(&*service);
  platform.runtime.AddConsoleControlHandler(&ConsoleControlHandler);

  try {
    ServeSession(reader, writer, *service, watchdog, platform.processes);
  } catch (...) {
    // A protocol failure or any failure outside a request ends the session without a reply.
  }

  watchdog.Stop();
  service->StopAll(false);
  PublishService(nullptr);
  platform.runtime.RemoveConsoleControlHandler(&ConsoleControlHandler);
  // The watchdog is destroyed before the service, which stops its session monitor first.
  return kExitOk;
}

int RunProcess(const std::vector<std::u16string>& arguments,
               std::unique_ptr<platform::SystemPlatform> (*createPlatform)()) {
  const CommandLine commandLine = ParseCommandLine(arguments);
  if (commandLine.mode == CommandMode::kInvalid) return kExitBadCommandLine;
  const std::unique_ptr<platform::SystemPlatform> system = createPlatform();
  if (commandLine.mode == CommandMode::kGrantForeground) {
    return GrantForeground(system->Get(), commandLine.grantTarget);
  }
  return RunHelper(system->Get());
}

}  // namespace velmora::computer_use
