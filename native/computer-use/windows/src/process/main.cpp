// Process entry of computer-use-helper.
#include <string>
#include <vector>

#include "platform/platform.h"
#include "process/helper_main.h"
#include "protocol/json.h"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::u16string> arguments;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view argument(argv[i]);
    arguments.emplace_back(argument.begin(), argument.end());
  }
  return velmora::computer_use::RunProcess(arguments,
                                           &velmora::computer_use::platform::CreateSystemPlatform);
}
#else
int main(int argc, char** argv) {
  std::vector<std::u16string> arguments;
  for (int i = 1; i < argc; ++i) {
    try {
      arguments.push_back(velmora::computer_use::Utf8ToUtf16(argv[i]));
    } catch (const std::invalid_argument&) {
      // Not text: kept as a value that no check accepts.
      arguments.push_back(u"\uFFFD");
    }
  }
  return velmora::computer_use::RunProcess(arguments,
                                           &velmora::computer_use::platform::CreateSystemPlatform);
}
#endif
