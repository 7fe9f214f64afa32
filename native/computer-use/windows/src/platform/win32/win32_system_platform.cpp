#include "platform/win32/win32_api.h"
#include "platform/win32/win32_capture.h"

namespace velmora::computer_use::platform {
namespace {

class Win32SystemPlatform final : public SystemPlatform {
 public:
  Win32SystemPlatform()
      : input_(GetStdHandle(STD_INPUT_HANDLE)),
        output_(GetStdHandle(STD_OUTPUT_HANDLE)),
        platform_{input_,       output_, runtime_,  processes_,  sessions_, windows_, messageLoops_,
                  processInfo_, crypto_, displays_, automation_, system_,   capture_, injection_} {}

  Platform& Get() override { return platform_; }

 private:
  win32::HandleInputStream input_;
  win32::HandleOutputStream output_;
  win32::Win32Runtime runtime_;
  win32::Win32ProcessApi processes_;
  win32::Win32SessionApi sessions_;
  win32::Win32WindowApi windows_;
  win32::Win32MessageLoopApi messageLoops_;
  win32::Win32ProcessInfoApi processInfo_;
  win32::Win32CryptoApi crypto_;
  win32::Win32DisplayApi displays_;
  win32::Win32AutomationApi automation_;
  win32::Win32SystemApi system_;
  win32::Win32CaptureApi capture_;
  win32::Win32InputApi injection_;
  Platform platform_;
};

}  // namespace

std::unique_ptr<SystemPlatform> CreateSystemPlatform() {
  return std::make_unique<Win32SystemPlatform>();
}

}  // namespace velmora::computer_use::platform
