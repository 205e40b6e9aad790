// One signature check of an image, for counting its instructions:
//
//   bench_signature gate IMAGE KEYS_DIR     what the phone runs: keys, private copy, block, SHA-256, Ed25519
//   bench_signature verify IMAGE KEYS_DIR   the check alone, without the private copy
//   bench_signature read IMAGE              only reading the image (what the counts subtract)
//   bench_signature sha512 IMAGE            SHA-512 of the whole image instead, for comparison
//
// The image is read into memory first in every mode, so that the difference
// between two modes is the work of the one.
#include <nettle/sha2.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "rom/release_sig.h"

namespace {

bool read_image(const char* path, std::string* out) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out->append(buf, n);
  fclose(f);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string image;
  if (argc < 3 || !read_image(argv[2], &image)) {
    fprintf(stderr, "usage: bench_signature gate|verify IMAGE KEYS_DIR | read IMAGE | sha512 IMAGE\n");
    return 2;
  }
  const unsigned char* p = reinterpret_cast<const unsigned char*>(image.data());
  if (strcmp(argv[1], "verify") == 0 && argc == 4) {
    release_keys keys;
    (void)release_keys_load(argv[3], &keys);
    int fault = release_sig_verify(p, image.size(), &keys);
    printf("%s\n", release_sig_fault_text(fault));
    return fault == RELEASE_SIG_OK ? 0 : 1;
  }
  if (strcmp(argv[1], "gate") == 0 && argc == 4) {
    size_t len = image.size();
    int code = rom_release_gate(argv[3], &p, &len);
    printf("%d\n", code);
    return code == 0 ? 0 : 1;
  }
  if (strcmp(argv[1], "sha512") == 0) {
    sha512_ctx ctx;
    uint8_t digest[SHA512_DIGEST_SIZE];
    sha512_init(&ctx);
    sha512_update(&ctx, image.size(), p);
    sha512_digest(&ctx, sizeof digest, digest);
    printf("%02x\n", digest[0]);
    return 0;
  }
  return strcmp(argv[1], "read") == 0 ? 0 : 2;
}
