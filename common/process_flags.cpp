#include "common/process_flags.h"

int kernel_support = 0;
int mtd_config_present = 0;
int upgrader_kernel_only = 0;
int env_mtd_moved = 0;
int config_mtd_moved = 0;
int env_config_blocks_saved = 0;
int env_block_copied = 0;
int config_block_copied = 0;
