// Signed releases: reading the signature block, the phone's keys, and the
// check itself. Hashing and Ed25519 come from nettle; nothing here computes
// cryptography of its own.
#include "rom/release_sig.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gmp.h>
#include <nettle/base64.h>
#include <nettle/eddsa.h>
#include <nettle/sha2.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "common/byteorder.h"
#include "common/unique_fd.h"
#include "log/rl_log.h"
#include "rom/rom_format.h"

namespace {

constexpr size_t kCopyChunk = 64 * 1024;
// A PEM key's base64 text is 60 characters; room for line ends and blanks.
constexpr size_t kMaxPemBody = 256;
// SubjectPublicKeyInfo of an Ed25519 key, before its 32 key bytes.
constexpr uint8_t kEd25519SpkiPrefix[] = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03,
                                          0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};

void key_id_of(const uint8_t pub[RELEASE_PUBLIC_KEY_SIZE], uint8_t id[RELEASE_KEY_ID_SIZE]) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, RELEASE_PUBLIC_KEY_SIZE, pub);
  sha256_digest(&ctx, RELEASE_KEY_ID_SIZE, id);
}

const release_key* key_by_id(const release_keys* keys, const uint8_t id[RELEASE_KEY_ID_SIZE]) {
  for (int i = 0; i < keys->count; ++i)
    if (memcmp(keys->keys[i].id, id, RELEASE_KEY_ID_SIZE) == 0) return &keys->keys[i];
  return nullptr;
}

bool is_pem_name(const char* name) {
  size_t n = strlen(name);
  return n > 4 && strcmp(name + n - 4, ".pem") == 0;
}

// One key file of the folder; -1 when it cannot be read or is no Ed25519 key.
int read_key_file(int dir_fd, const char* name, release_key* out) {
  unique_fd fd(openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > RELEASE_KEY_FILE_MAX)
    return -1;
  char text[RELEASE_KEY_FILE_MAX];
  ssize_t n = read(fd.get(), text, sizeof text);
  return n > 0 ? release_key_from_pem(text, static_cast<size_t>(n), out) : -1;
}

// Gives back the source's whole pages in [from, to): a mapped file or an
// attached segment keeps its contents, only this process's view goes.
void drop_pages(const unsigned char* from, const unsigned char* to) {
  uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t first = (reinterpret_cast<uintptr_t>(from) + page - 1) & ~(page - 1);
  uintptr_t end = reinterpret_cast<uintptr_t>(to) & ~(page - 1);
  if (end > first) (void)madvise(reinterpret_cast<void*>(first), end - first, MADV_DONTNEED);
}

// The image up to `len` in private memory. The source pages already copied
// are given back as the copy grows, so that the two together stay about one
// image resident. A fault maps a window of pages around it, which can reach
// back into the chunk before: each drop starts one chunk earlier, and a last
// one sweeps the whole source.
unsigned char* private_copy(const unsigned char* src, size_t len) {
  void* mem = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mem == MAP_FAILED) return nullptr;
  unsigned char* dst = static_cast<unsigned char*>(mem);
  for (size_t at = 0; at < len; at += kCopyChunk) {
    size_t n = len - at < kCopyChunk ? len - at : kCopyChunk;
    memcpy(dst + at, src + at, n);
    drop_pages(src + (at < kCopyChunk ? 0 : at - kCopyChunk), src + at + n);
  }
  drop_pages(src, src + len);
  (void)mprotect(mem, len, PROT_READ);
  return dst;
}

}  // namespace

int release_sig_read(const unsigned char* image, size_t image_len, release_sig_block* out) {
  uint64_t end = 0;
  if (!rom_data_end(image, image_len, &end)) return RELEASE_SIG_NO_HEADER;
  if (end > image_len || image_len - end < 4 || load_le32(image + end) != RELEASE_SIG_MAGIC)
    return RELEASE_SIG_MISSING;
  if (image_len - end < RELEASE_SIG_BLOCK_SIZE) return RELEASE_SIG_TRUNCATED;
  const unsigned char* p = image + end;
  if (load_le32(p + 4) != RELEASE_SIG_KIND_ED25519_SHA256) return RELEASE_SIG_UNKNOWN_KIND;
  if (load_le32(p + 8) != end) return RELEASE_SIG_LENGTH;
  memcpy(out->fields, p, RELEASE_SIG_FIELDS_SIZE);
  out->kind = RELEASE_SIG_KIND_ED25519_SHA256;
  out->signed_len = end;
  memcpy(out->key_id, p + 12, RELEASE_KEY_ID_SIZE);
  memcpy(out->signature, p + RELEASE_SIG_FIELDS_SIZE, RELEASE_SIGNATURE_SIZE);
  return RELEASE_SIG_OK;
}

int release_key_from_pem(const char* text, size_t len, release_key* out) {
  static constexpr std::string_view kBegin = "-----BEGIN PUBLIC KEY-----", kEnd = "-----END PUBLIC KEY-----";
  std::string_view t(text, len);
  size_t begin = t.find(kBegin);
  if (begin == std::string_view::npos) return -1;
  begin += kBegin.size();
  size_t end = t.find(kEnd, begin);
  if (end == std::string_view::npos || end - begin > kMaxPemBody) return -1;
  uint8_t der[BASE64_DECODE_LENGTH(kMaxPemBody)];
  size_t der_len = 0;
  base64_decode_ctx ctx;
  base64_decode_init(&ctx);
  if (!base64_decode_update(&ctx, &der_len, der, end - begin, text + begin) || !base64_decode_final(&ctx) ||
      der_len != sizeof kEd25519SpkiPrefix + RELEASE_PUBLIC_KEY_SIZE ||
      memcmp(der, kEd25519SpkiPrefix, sizeof kEd25519SpkiPrefix) != 0)
    return -1;
  memcpy(out->pub, der + sizeof kEd25519SpkiPrefix, RELEASE_PUBLIC_KEY_SIZE);
  key_id_of(out->pub, out->id);
  return 0;
}

int release_keys_load(const char* dir, release_keys* keys) {
  *keys = {};
  DIR* d = opendir(dir);
  if (!d) return errno == ENOENT ? 0 : -1;
  for (;;) {
    errno = 0;
    const dirent* e = readdir(d);
    if (!e) break;
    if (!is_pem_name(e->d_name)) continue;
    ++keys->files;
    release_key key;
    if (keys->count < RELEASE_MAX_KEYS && read_key_file(dirfd(d), e->d_name, &key) == 0) {
      keys->keys[keys->count++] = key;
    } else {
      rl_log_err("release key %s/%s unusable\n", dir, e->d_name);
    }
  }
  int saved = errno;  // readdir's: 0 at the end of the listing
  closedir(d);
  if (saved != 0) {
    errno = saved;
    return -1;
  }
  return keys->files;
}

int release_sig_verify(const unsigned char* image, size_t image_len, const release_keys* keys) {
  release_sig_block block;
  int fault = release_sig_read(image, image_len, &block);
  if (fault != RELEASE_SIG_OK) return fault;
  const release_key* key = key_by_id(keys, block.key_id);
  if (!key) return keys->count > 0 ? RELEASE_SIG_UNKNOWN_KEY : RELEASE_SIG_NO_USABLE_KEY;
  uint8_t message[RELEASE_SIGNED_MESSAGE_SIZE];
  memcpy(message, block.fields, RELEASE_SIG_FIELDS_SIZE);
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, block.signed_len, image);
  sha256_digest(&ctx, RELEASE_DIGEST_SIZE, message + RELEASE_SIG_FIELDS_SIZE);
  return ed25519_sha512_verify(key->pub, sizeof message, message, block.signature) ? RELEASE_SIG_OK
                                                                                    : RELEASE_SIG_MISMATCH;
}

// Ed25519 multiplies 256-bit numbers only. GMP's general entry points for
// that (mpn_mul_n, mpn_sqr) also reach its Toom-Cook and FFT code, about
// 90 KiB of the static program, which GMP itself uses only for operands far
// larger; these two bind nettle's calls to GMP's schoolbook multiplication,
// which is what GMP runs at this size anyway.
extern "C" void __gmpn_mul_basecase(mp_ptr rp, mp_srcptr up, mp_size_t un, mp_srcptr vp, mp_size_t vn);

void mpn_mul_n(mp_ptr rp, mp_srcptr ap, mp_srcptr bp, mp_size_t n) { __gmpn_mul_basecase(rp, ap, n, bp, n); }

void mpn_sqr(mp_ptr rp, mp_srcptr ap, mp_size_t n) { __gmpn_mul_basecase(rp, ap, n, ap, n); }

const char* release_sig_fault_text(int fault) {
  switch (fault) {
    case RELEASE_SIG_OK: return "signature holds";
    case RELEASE_SIG_NO_HEADER: return "image too short for its ROM header";
    case RELEASE_SIG_MISSING: return "no signature block after the data area";
    case RELEASE_SIG_TRUNCATED: return "signature block cut short";
    case RELEASE_SIG_UNKNOWN_KIND: return "signature block of an unknown kind";
    case RELEASE_SIG_LENGTH: return "signed length is not the data area's end";
    case RELEASE_SIG_UNKNOWN_KEY: return "signed by a key this phone does not hold";
    case RELEASE_SIG_MISMATCH: return "signature does not match the image";
    case RELEASE_SIG_NO_USABLE_KEY: return "no usable release key on this phone";
    case RELEASE_SIG_NO_MEMORY: return "no memory for a private copy of the image";
    case RELEASE_SIG_KEYS_UNREADABLE: return "the phone's release keys cannot be read";
    default: return "unknown fault";
  }
}

int rom_release_gate(const char* keys_dir, const unsigned char** image, size_t* image_len) {
  static release_keys keys;
  // A key folder that cannot be listed may hold keys: refuse rather than
  // take it for a phone without any.
  int found = release_keys_load(keys_dir, &keys);
  if (found == 0) return 0;
  release_sig_block block;
  int fault = found < 0 ? RELEASE_SIG_KEYS_UNREADABLE : release_sig_read(*image, *image_len, &block);
  unsigned char* copy = nullptr;
  size_t copied = 0;
  if (fault == RELEASE_SIG_OK) {
    copied = static_cast<size_t>(block.signed_len) + RELEASE_SIG_BLOCK_SIZE;
    copy = private_copy(*image, copied);
    fault = copy ? release_sig_verify(copy, copied, &keys) : RELEASE_SIG_NO_MEMORY;
    // What the copy says from here on, whatever the source says now.
    if (fault == RELEASE_SIG_OK) fault = release_sig_read(copy, copied, &block);
  }
  if (fault != RELEASE_SIG_OK) {
    if (copy) (void)munmap(copy, copied);
    rl_log_err("release signature refused: %s\n", release_sig_fault_text(fault));
    return UPD_MSG_SIGNATURE_ERR;
  }
  rl_log_info("release signed by key %02x%02x%02x%02x%02x%02x%02x%02x\n", block.key_id[0], block.key_id[1],
              block.key_id[2], block.key_id[3], block.key_id[4], block.key_id[5], block.key_id[6],
              block.key_id[7]);
  // Only the signed bytes are the image from here on: nothing after them
  // (the block, padding) can be read as a payload.
  *image = copy;
  *image_len = static_cast<size_t>(block.signed_len);
  return 0;
}
