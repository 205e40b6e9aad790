// `romtool sign`, `romtool verify` and the signature line of `romtool info`:
// the signature block of docs/rom-format.md, made and checked with OpenSSL,
// written apart from the program's reader so that an error in one shows
// against the other.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>

#include "tools/romtool/romtool.h"

namespace romtool {
namespace {

constexpr uint32_t kBlockMagic = 0x47495352;  // "RSIG"
constexpr uint32_t kKindEd25519Sha256 = 1;
constexpr size_t kFieldsSize = 20, kSignatureSize = 64, kBlockSize = kFieldsSize + kSignatureSize;
constexpr size_t kKeyIdSize = 8, kRawKeySize = 32;

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

uint32_t le32(const std::string& s, uint64_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}

void put_le32(std::string* s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s->push_back(static_cast<char>(v >> (8 * i)));
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += std::string{digits[c >> 4], digits[c & 15]};
  return out;
}

// Where the data area ends (and the block begins); false when the image is
// too short to say or the data area runs past it.
bool data_area_end(const std::string& image, uint64_t* end) {
  if (image.size() < 0x28) return false;
  *end = uint64_t{le32(image, 4)} + 12 + le32(image, 0x24);
  return *end <= image.size();
}

std::string sha256(const std::string& data, size_t len) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_Digest(data.data(), len, md, &n, EVP_sha256(), nullptr) != 1) return "";
  return std::string(reinterpret_cast<char*>(md), n);
}

PKey read_key(const std::string& path, bool private_key, std::string* error) {
  PKey key(nullptr, EVP_PKEY_free);
  std::string text;
  if (read_whole_file(path, 64 * 1024, &text, error) != 0) return key;
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())),
                                                BIO_free);
  if (bio) {
    key.reset(private_key ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                          : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  }
  if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
    *error = path + ": not an Ed25519 " + (private_key ? "private" : "public") + " key in PEM";
    key.reset();
  }
  return key;
}

std::string key_id(EVP_PKEY* key) {
  unsigned char raw[kRawKeySize];
  size_t n = sizeof raw;
  if (EVP_PKEY_get_raw_public_key(key, raw, &n) != 1 || n != kRawKeySize) return "";
  return sha256(std::string(reinterpret_cast<char*>(raw), n), n).substr(0, kKeyIdSize);
}

// What the key signs: the block's fields, then SHA-256 of the image up to them.
std::string signed_message(const std::string& image, uint64_t end, const std::string& fields) {
  return fields + sha256(image, end);
}

// The block's fields of an image that has one; "" with *why otherwise.
std::string block_fields(const std::string& image, uint64_t* end, std::string* why) {
  if (!data_area_end(image, end)) {
    *why = "the data area runs past the image";
  } else if (image.size() - *end < 4 || le32(image, *end) != kBlockMagic) {
    *why = "unsigned: no signature block after the data area";
  } else if (image.size() - *end < kBlockSize) {
    *why = "the signature block is cut short";
  } else if (le32(image, *end + 4) != kKindEd25519Sha256) {
    *why = "a signature block of unknown kind " + std::to_string(le32(image, *end + 4));
  } else if (le32(image, *end + 8) != *end) {
    *why = "the signed length " + std::to_string(le32(image, *end + 8)) + " is not the data area's end " +
           std::to_string(*end);
  } else {
    return image.substr(*end, kFieldsSize);
  }
  return "";
}

}  // namespace

int sign_image(const std::string& image, const std::string& key_path, std::string* out, std::string* error) {
  uint64_t end;
  if (!data_area_end(image, &end) || end > 0xFFFFFFFFu) {
    *error = "the data area runs past the image";
    return -1;
  }
  PKey key = read_key(key_path, true, error);
  if (!key) return -1;
  std::string fields;
  put_le32(&fields, kBlockMagic);
  put_le32(&fields, kKindEd25519Sha256);
  put_le32(&fields, static_cast<uint32_t>(end));
  fields += key_id(key.get());
  std::string message = signed_message(image, end, fields);
  unsigned char sig[kSignatureSize];
  size_t sig_len = sizeof sig;
  MdCtx ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (fields.size() != kFieldsSize || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), sig, &sig_len, reinterpret_cast<const unsigned char*>(message.data()),
                     message.size()) != 1) {
    *error = key_path + ": signing failed";
    return -1;
  }
  // Whatever followed the data area (an older block, padding) is left out.
  *out = image.substr(0, end) + fields + std::string(reinterpret_cast<char*>(sig), sig_len);
  return 0;
}

int verify_image(const std::string& image, const std::string& public_path, std::string* verdict) {
  std::string error;
  PKey key = read_key(public_path, false, &error);
  if (!key) {
    *verdict = error;
    return kExitUsage;
  }
  uint64_t end;
  std::string fields = block_fields(image, &end, verdict);
  if (fields.empty()) return kExitRefused;
  std::string id = fields.substr(12, kKeyIdSize), mine = key_id(key.get());
  if (id != mine) {
    *verdict = "signed by key id " + hex(id) + ", not by this key (" + hex(mine) + ")";
    return kExitRefused;
  }
  std::string message = signed_message(image, end, fields);
  MdCtx ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  bool good = ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
              EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(image.data()) + end + kFieldsSize,
                               kSignatureSize, reinterpret_cast<const unsigned char*>(message.data()),
                               message.size()) == 1;
  *verdict = good ? "signature by key id " + hex(id) + " holds" : "the signature does not match the image";
  return good ? kExitAccepted : kExitRefused;
}

std::string signature_summary(const std::string& image, bool* broken) {
  uint64_t end;
  std::string why, fields = block_fields(image, &end, &why);
  *broken = fields.empty() && why.rfind("unsigned", 0) != 0;
  if (fields.empty()) return why.rfind("unsigned", 0) == 0 ? "none" : why + " BAD";
  return "Ed25519 over SHA-256, key id " + hex(fields.substr(12, kKeyIdSize)) + ", covers " + std::to_string(end) +
         " bytes";
}

}  // namespace romtool
