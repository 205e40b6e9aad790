// The device environment: boot-loader variables, version records and the
// hardware version, loaded once per run into a 30-entry table.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define ENV_TABLE_SIZE 30
#define ENV_NAME_SIZE 50
#define ENV_VALUE_SIZE 100

struct env_info {
  char name[ENV_NAME_SIZE];
  union {
    char value[ENV_VALUE_SIZE];
    struct {
      uint32_t start_addr;
      uint32_t end_addr;
    };
  };
};

int load_env_info(env_info* table);
int env_find(const env_info* table, const char* name, int* index);
int read_hw_version(unsigned char hw_version[8]);
int set_env_value(const char* penv_name, const char* penv_value);

// The readers above copy each kernel file to /tmp with /tmp/bin/cat and hand
// the copy to these parsers, which work on bounded buffers and run no
// commands (the fuzz targets call them directly).

// Longest environment line kept, terminator included; longer lines are refused.
#define ENV_LINE_SIZE 150

// Handles one environment line (without its line feed): `line` holds its
// first ENV_LINE_SIZE - 1 characters at most, NUL-terminated, and `length`
// is the full length of the line. Accepted variables go into the next free
// entry. 0 when stored, 1 when ignored, -1 when refused (with a log line).
int env_accept_line(env_info* table, const char* line, size_t length);

// Feeds every complete line of `text` (size bytes) to env_accept_line; text
// after the last line feed is not processed. Returns the number of entries
// stored, or -1 when an argument is NULL.
int env_parse_text(env_info* table, const char* text, size_t size);

// Stores the software version (the text before the first comma of the first
// line of `text`) as Mtd1Version. 0, or -88 without a comma; -1 for NULL.
int env_parse_software_version(env_info* table, const char* text, size_t size);

// Parses the hardware version text "a.b.c.d.e.f.g.h" (size bytes at most,
// NUL ends it earlier). 0 and the eight bytes when exactly eight numbers were
// found; -1 otherwise, with hw_version left as it was.
int hwver_parse_text(const char* text, size_t size, unsigned char hw_version[8]);
