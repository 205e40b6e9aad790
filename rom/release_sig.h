// Signed releases: a phone that holds release keys installs only an image
// signed by one of them. docs/rom-format.md describes the signature block.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Where the phone's public keys live (its read-only file system): one PEM
// file ("*.pem") a key. No such file: the check is off.
#define RELEASE_KEYS_DIR "/basic/keys"
#define RELEASE_MAX_KEYS 4
#define RELEASE_KEY_FILE_MAX 4096

// The block right after the data area (offset rom_header_size + 12 + rom_size).
#define RELEASE_SIG_MAGIC 0x47495352u  // bytes 52 53 49 47, "RSIG"
#define RELEASE_SIG_KIND_ED25519_SHA256 1
#define RELEASE_KEY_ID_SIZE 8
#define RELEASE_PUBLIC_KEY_SIZE 32
#define RELEASE_SIGNATURE_SIZE 64
#define RELEASE_SIG_FIELDS_SIZE 20  // magic, kind, signed length, key id
#define RELEASE_SIG_BLOCK_SIZE (RELEASE_SIG_FIELDS_SIZE + RELEASE_SIGNATURE_SIZE)
#define RELEASE_DIGEST_SIZE 32
// What the key signs: the block's first 20 bytes, then SHA-256 of the image
// up to the block.
#define RELEASE_SIGNED_MESSAGE_SIZE (RELEASE_SIG_FIELDS_SIZE + RELEASE_DIGEST_SIZE)

// The ROM check's refusal of an image whose signature does not hold.
#define UPD_MSG_SIGNATURE_ERR (-70)

enum release_sig_fault {
  RELEASE_SIG_OK = 0,
  RELEASE_SIG_NO_HEADER = -1,
  RELEASE_SIG_MISSING = -2,
  RELEASE_SIG_TRUNCATED = -3,
  RELEASE_SIG_UNKNOWN_KIND = -4,
  RELEASE_SIG_LENGTH = -5,
  RELEASE_SIG_UNKNOWN_KEY = -6,
  RELEASE_SIG_MISMATCH = -7,
  RELEASE_SIG_NO_USABLE_KEY = -8,
  RELEASE_SIG_NO_MEMORY = -9,
  RELEASE_SIG_KEYS_UNREADABLE = -10,
};

struct release_key {
  uint8_t id[RELEASE_KEY_ID_SIZE];
  uint8_t pub[RELEASE_PUBLIC_KEY_SIZE];
};

struct release_keys {
  int files;  // key files found, usable or not: any turns the check on
  int count;
  release_key keys[RELEASE_MAX_KEYS];
};

struct release_sig_block {
  uint8_t fields[RELEASE_SIG_FIELDS_SIZE];
  uint32_t kind;
  uint64_t signed_len;  // where the block starts: the end of the data area
  uint8_t key_id[RELEASE_KEY_ID_SIZE];
  uint8_t signature[RELEASE_SIGNATURE_SIZE];
};

// Reads the block after the data area. RELEASE_SIG_OK or a fault; *out is
// filled only on RELEASE_SIG_OK.
int release_sig_read(const unsigned char* image, size_t image_len, release_sig_block* out);
// A key from the text of an Ed25519 PEM public key. 0, or -1.
int release_key_from_pem(const char* text, size_t len, release_key* out);
// Reads every "*.pem" of `dir`. The number of key files found (0 when `dir`
// does not exist), or -1 with errno when `dir` is there but cannot be listed.
int release_keys_load(const char* dir, release_keys* keys);
// Checks the image's signature against the keys. RELEASE_SIG_OK or a fault.
int release_sig_verify(const unsigned char* image, size_t image_len, const release_keys* keys);
// What a fault means, for the log.
const char* release_sig_fault_text(int fault);

// The gate before anything irreversible. Without a key on the phone: 0, the
// image untouched. With keys: the image up to the block is copied to
// private memory (so that no other process can change what is checked and
// burnt), *image and *image_len name that copy, and the copy's signature is
// checked: 0, or UPD_MSG_SIGNATURE_ERR after one error line.
int rom_release_gate(const char* keys_dir, const unsigned char** image, size_t* image_len);
