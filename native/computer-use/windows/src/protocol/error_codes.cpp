#include "protocol/error_codes.h"

#include <algorithm>

namespace velmora::computer_use {

std::string_view MapErrorCode(std::string_view message) {
  for (std::string_view code : PublicErrorCodes) {
    if (code == message) return code;
  }
  return kGenericFailureCode;
}

bool IsRequestFailureKeepCode(std::string_view message) {
  return std::find(RequestFailureKeepCodes.begin(), RequestFailureKeepCodes.end(), message) !=
         RequestFailureKeepCodes.end();
}

}  // namespace velmora::computer_use
