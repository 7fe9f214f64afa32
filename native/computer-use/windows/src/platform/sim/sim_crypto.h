// SHA-256 in portable code, standing in for the platform's provider; a test can make it fail.
#pragma once

#include <atomic>

#include "platform/crypto.h"

namespace velmora::computer_use::platform::sim {

class SimCrypto final : public CryptoApi {
 public:
  Sha256Digest Sha256(std::string_view data) override;
  // kOk restores the provider.
  void SetFailure(HashStatus status) { failure_ = status; }

 private:
  std::atomic<HashStatus> failure_{HashStatus::kOk};
};

}  // namespace velmora::computer_use::platform::sim
