// The platform's SHA-256 provider.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace velmora::computer_use::platform {

enum class HashStatus {
  kOk,
  kUnavailable,  // the provider could not be opened or sized
  kFailed,       // creating, feeding or finishing the hash failed
};

struct Sha256Digest {
  HashStatus status = HashStatus::kFailed;
  std::array<std::uint8_t, 32> bytes{};
};

class CryptoApi {
 public:
  virtual ~CryptoApi() = default;
  virtual Sha256Digest Sha256(std::string_view data) = 0;
};

}  // namespace velmora::computer_use::platform
