// The device environment: boot-loader variables, version records and the
// hardware version, loaded once per run into a 30-entry table.
#pragma once

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
