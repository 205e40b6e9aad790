// One-shot configuration adjustments after a successful upgrade delivered
// through shared memory, decided by the version being replaced.
#pragma once

#include "devenv/env_store.h"

#define AUTOP_RETRY_FILE "/config/autop_retry_save.cfg"
#define AUTOP_MAX_FILES 10

void config_autop(const env_info* env_table);
void config_deleteLineKey8(const env_info* env_table);
