#include "imaging/digest.h"

#include <openssl/evp.h>

namespace imaging {

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * length);
  for (unsigned int k = 0; k < length; ++k) {
    out.push_back(kHex[digest[k] >> 4]);
    out.push_back(kHex[digest[k] & 0xF]);
  }
  return out;
}

}  // namespace imaging
