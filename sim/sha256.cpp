#include "sim/sha256.h"

#include <openssl/evp.h>
#include <stdio.h>

namespace sim {

std::string sha256_hex(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha256(), nullptr) != 1) return "";
  std::string out;
  char byte[3];
  for (unsigned int i = 0; i < len; ++i) {
    snprintf(byte, sizeof byte, "%02x", digest[i]);
    out += byte;
  }
  return out;
}

}  // namespace sim
