#include "rom/flash_region.h"

#include "log/rl_log.h"
#include "rom/rom_check.h"

uint64_t flash_erase_extent(const mtd_info_user& info, uint64_t need) {
  return (need + info.erasesize - 1) / info.erasesize * info.erasesize;
}

bool flash_extent_fits(const mtd_info_user& info, uint64_t need) {
  uint64_t extent = flash_erase_extent(info, need);
  if (extent <= info.size) return true;
  rl_log_debug("erase of %llx bytes in %x units does not fit the device of %x bytes\n",
               static_cast<unsigned long long>(extent), info.erasesize, info.size);
  return false;
}

namespace {

int region_check(int fd, uint64_t region, bool whole_units_pass) {
  mtd_info_user info;
  if (plat_mtd_get_info(fd, &info) != 0 || info.erasesize == 0) return 0;
  if (whole_units_pass && region % info.erasesize == 0) return 0;
  return flash_extent_fits(info, region) ? 0 : UPD_MSG_MTD_ADDR_ERR;
}

}  // namespace

int flash_region_erasable(int fd, uint64_t region) { return region_check(fd, region, false); }

int flash_region_end_erasable(int fd, uint64_t region) { return region_check(fd, region, true); }
