// SHA-256 through BCrypt.
#include <vector>

#include "platform/win32/win32_api.h"

namespace velmora::computer_use::platform::win32 {

Sha256Digest Win32CryptoApi::Sha256(std::string_view data) {
  Sha256Digest digest;
  BcryptAlgorithm algorithm;
  DWORD objectLength = 0;
  ULONG copied = 0;
  if (!BCRYPT_SUCCESS(
          BCryptOpenAlgorithmProvider(algorithm.Put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
      !BCRYPT_SUCCESS(BCryptGetProperty(algorithm.Get(), BCRYPT_OBJECT_LENGTH,
                                        reinterpret_cast<PUCHAR>(&objectLength),
                                        sizeof objectLength, &copied, 0))) {
    digest.status = HashStatus::kUnavailable;
    return digest;
  }
  std::vector<UCHAR> object(objectLength, 0);
  BcryptHash hash;
  digest.status = HashStatus::kFailed;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm.Get(), hash.Put(), object.data(), objectLength,
                                       nullptr, 0, 0)) ||
      !BCRYPT_SUCCESS(BCryptHashData(hash.Get(),
                                     reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                                     static_cast<ULONG>(data.size()), 0)) ||
      !BCRYPT_SUCCESS(BCryptFinishHash(hash.Get(), digest.bytes.data(),
                                       static_cast<ULONG>(digest.bytes.size()), 0))) {
    return digest;
  }
  digest.status = HashStatus::kOk;
  return digest;
}

}  // namespace velmora::computer_use::platform::win32
