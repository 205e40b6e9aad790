#include "rom/flash.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "basicui/basicui.h"
#include "common/process_flags.h"
#include "common/unique_fd.h"
#include "common/unique_mapping.h"
#include "log/rl_log.h"
#include "platform/mtd_device.h"
#include "rom/flash_region.h"
#include "rom/rom_check.h"

namespace {

constexpr int kProgressStart = 15;
constexpr int kProgressSpan = 85;
constexpr int kProgressEnd = 100;

// A write may store fewer bytes than asked; the rest is written again from
// where it stopped. A write that stores nothing is a failure.
int write_fully(int fd, const unsigned char* data, size_t len) {
  while (len > 0) {
    ssize_t n = plat_mtd_write(fd, data, len);
    if (n <= 0) return -1;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

bool partition_burnt(const partition_header& p) { return upgrader_kernel_only != 1 || p.partition_id == 1; }

bool payload_inside_image(const partition_header& p, size_t image_len) {
  return p.partition_offset <= image_len && p.partition_size <= image_len - p.partition_offset;
}

// Every payload that will be written must lie inside the image, checked
// before any partition is touched, so that a bad image leaves the flash as
// it was.
int check_payloads(size_t image_len, uint32_t partition_num, const partition_header* partitions,
                   const uint32_t* upgrade_flags) {
  for (uint32_t i = 0; i < partition_num; ++i) {
    const partition_header& p = partitions[i];
    if (upgrade_flags[i] != 1 || !partition_burnt(p) || payload_inside_image(p, image_len)) continue;
    rl_log_err("payload of partition %d outside the image: offset:%x size:%x\n", static_cast<int>(i),
               p.partition_offset, p.partition_size);
    return UPD_MSG_PART_CHECKSUM_ERR;
  }
  return 0;
}

int refuse(int code) {
  upd_msg_report(code);
  return code;
}

int query_info(int fd, mtd_info_user* info) {
  if (plat_mtd_get_info(fd, info) == 0) return 0;
  rl_log_err("MEMGETINFO failed!\n");
  return -1;
}

// Erases the device's units from start that cover len bytes (rounded up to
// whole units). 0, or -1 when the device cannot be queried or a request fails.
int erase_span(int fd, unsigned start, uint64_t len) {
  mtd_info_user info;
  if (query_info(fd, &info) != 0) return -1;
  if (info.erasesize != FLASH_BLOCK_SIZE) rl_log_err("------------FLASH_BLOCK_SIZE------ERROR---------------\n");
  if (info.erasesize == 0) return -1;
  uint64_t requests = (len + info.erasesize - 1) / info.erasesize;
  for (uint64_t r = 0; r < requests; ++r) {
    erase_info_user region = {start, info.erasesize};
    if (plat_mtd_erase(fd, &region) != 0) return -1;
    start += info.erasesize;
  }
  rl_log_debug("erase done\n");
  return 0;
}

// Erasing from offset 0 onwards: every byte below `done` is erased, in spans
// of a 64 KiB block (or one erase unit when that is larger), and the end of
// the extent, which may be shorter than a span, in the device's own units.
// Every unit is erased once, aligned to itself, and none past the extent.
struct erase_cursor {
  int fd;
  uint32_t span;
  uint64_t done;
  uint64_t extent;
};

int erase_through(erase_cursor* c, uint64_t end) {
  while (c->done < end && c->done < c->extent) {
    uint64_t len = c->extent - c->done < c->span ? c->extent - c->done : c->span;
    if (erase_span(c->fd, static_cast<unsigned>(c->done), len) < 0) return -1;
    c->done += len;
  }
  return 0;
}

// Sets up the cursor for a device and checks that the units covering
// [0, need) lie inside it, so that nothing is touched when they do not.
int erase_plan(int fd, uint64_t need, erase_cursor* c) {
  mtd_info_user info;
  if (query_info(fd, &info) != 0 || info.erasesize == 0) return UPD_MSG_FLASH_ERASE_ERR;
  if (!flash_extent_fits(info, need)) return UPD_MSG_MTD_ADDR_ERR;
  uint32_t span = (FLASH_BLOCK_SIZE + info.erasesize - 1) / info.erasesize * info.erasesize;
  *c = {fd, span, 0, flash_erase_extent(info, need)};
  return 0;
}

// Erases the partition's region block by block, progress running from base
// over one step, then the rest of the region when it ends inside a block.
int erase_region(int fd, uint32_t region, int base, int step, CBasicUI* ui) {
  uint32_t blocks = region / FLASH_BLOCK_SIZE;
  erase_cursor c;
  int rc = erase_plan(fd, region, &c);
  if (rc != 0) return rc;
  for (uint32_t j = 0; j < blocks; ++j) {
    if (erase_through(&c, (j + uint64_t{1}) * FLASH_BLOCK_SIZE) < 0) return UPD_MSG_FLASH_ERASE_ERR;
    ui->SetUpgradingProgressBar(base + static_cast<int>((j * static_cast<uint64_t>(step)) / blocks));
  }
  return erase_through(&c, region) < 0 ? UPD_MSG_FLASH_ERASE_ERR : 0;
}

// Writes the payload straight from the image in 64 KiB chunks, then the
// remainder; progress runs from base over one step.
int write_payload(int fd, const unsigned char* payload, uint32_t size, int base, int step, CBasicUI* ui) {
  uint32_t chunks = size / FLASH_BLOCK_SIZE;
  rl_log_debug("blocks :%x size:%x\n", chunks, size);
  for (uint32_t j = 0; j < chunks; ++j) {
    if (write_fully(fd, payload + static_cast<size_t>(j) * FLASH_BLOCK_SIZE, FLASH_BLOCK_SIZE) < 0)
      return UPD_MSG_FLASH_WRITE_ERR;
    ui->SetUpgradingProgressBar(base + static_cast<int>((j * static_cast<uint64_t>(step)) / chunks));
  }
  uint32_t last = size % FLASH_BLOCK_SIZE;
  rl_log_debug("last size:%x\n", last);
  if (last != 0 && write_fully(fd, payload + static_cast<size_t>(chunks) * FLASH_BLOCK_SIZE, last) < 0)
    return UPD_MSG_FLASH_WRITE_ERR;
  return 0;
}

// The environment's entry "mtd<id>", or null.
const env_info* region_of(const env_info* env_table, uint32_t id, char name[16]) {
  snprintf(name, 16, "mtd%d", static_cast<int>(id));
  int index = -1;
  return env_find(env_table, name, &index) == 0 ? &env_table[index] : nullptr;
}

int open_partition(uint32_t id, char path[32]) {
  snprintf(path, 32, "/dev/mtd%d", static_cast<int>(id));
  return open(path, O_RDWR | O_CLOEXEC);
}

// The units that will erase each region lie inside its device: checked for
// every partition before the first erase, as the layout step may have moved
// windows since the ROM check. A region or a device that cannot be found is
// left to its turn, which reports it.
int check_regions(const env_info* env_table, uint32_t partition_num, const partition_header* partitions,
                  const uint32_t* upgrade_flags) {
  for (uint32_t i = 0; i < partition_num; ++i) {
    const partition_header& p = partitions[i];
    char name[16], path[32];
    const env_info* region = upgrade_flags[i] == 1 && partition_burnt(p) ? region_of(env_table, p.partition_id, name)
                                                                           : nullptr;
    if (!region || region->end_addr < region->start_addr) continue;
    unique_fd fd(open_partition(p.partition_id, path));
    if (fd.valid() && flash_region_erasable(fd.get(), region->end_addr - region->start_addr) != 0)
      return UPD_MSG_MTD_ADDR_ERR;
  }
  return 0;
}

// Erases and writes one partition. *base advances by two steps on success.
int burn_partition(const unsigned char* image, env_info* env_table, const partition_header& p, int step,
                   int* base, CBasicUI* ui) {
  char name[16], path[32];
  const env_info* found = region_of(env_table, p.partition_id, name);
  if (!found) {
    rl_log_err("%s isnot exist!\n", name);
    return refuse(UPD_MSG_MTD_ENV_LOSED);
  }
  const env_info& region = *found;
  rl_log_info("%s start_addr:%x end_addr:%x\n", name, region.start_addr, region.end_addr);
  // A layout step may have shrunk the region since the check; never write
  // past what is erased.
  if (region.end_addr < region.start_addr || region.end_addr - region.start_addr < p.partition_size)
    return refuse(UPD_MSG_MTD_ADDR_ERR);

  unique_fd fd(open_partition(p.partition_id, path));
  if (!fd.valid()) {
    rl_log_err("%s open failed!\n", path);
    return refuse(UPD_MSG_MTD_OPEN_ERR);
  }
  int rc = erase_region(fd.get(), region.end_addr - region.start_addr, *base, step, ui);
  if (rc != 0) {
    fd.reset();
    return refuse(rc);
  }
  int base2 = *base + step;
  rc = write_payload(fd.get(), image + p.partition_offset, p.partition_size, base2, step, ui);
  if (rc != 0) {
    fd.reset();
    return refuse(rc);
  }
  *base = base2 + step;
  return 0;
}

}  // namespace

int burn_flash(const unsigned char* image, size_t image_len, env_info* env_table, uint32_t partition_num,
               const partition_header* partitions, const uint32_t* upgrade_flags, CBasicUI* ui) {
  if (!image || !env_table || !partitions || !upgrade_flags || !ui) return -1;
  if (partition_num > ROM_MAX_PARTITIONS) return refuse(UPD_MSG_PART_NUM_ERR);

  int flagged = 0;
  for (uint32_t i = 0; i < partition_num; ++i)
    if (upgrade_flags[i] == 1) ++flagged;
  int base = kProgressStart;
  if (partition_num == 0) {
    ui->SetUpgradingProgressBar(kProgressEnd);
    return 0;
  }
  int rc = check_payloads(image_len, partition_num, partitions, upgrade_flags);
  if (rc == 0) rc = check_regions(env_table, partition_num, partitions, upgrade_flags);
  if (rc != 0) return refuse(rc);

  for (uint32_t i = 0; i < partition_num; ++i) {
    const partition_header& p = partitions[i];
    if (upgrade_flags[i] != 1) continue;
    if (upgrader_kernel_only == 1) {
      rl_log_info("upgrader_kernel_only is AVAILABLE \n");
      if (p.partition_id != 1) {
        rl_log_info("ppartition_addr->partition_id:%x\n", p.partition_id);
        continue;
      }
    }
    int step = kProgressSpan / (2 * flagged);
    rc = burn_partition(image, env_table, p, step, &base, ui);
    if (rc != 0) return rc;
  }
  ui->SetUpgradingProgressBar(kProgressEnd);
  return 0;
}

int mtd_erase(int fd, unsigned start, int count) {
  // Requests of the device's own size cover the whole count x 64 KiB, so a
  // device with smaller erase blocks leaves nothing unerased.
  return erase_span(fd, start, count > 0 ? static_cast<uint64_t>(count) * FLASH_BLOCK_SIZE : 0);
}

int mtd_write(int mtd, int size, const char* path) {
  if (!path) return -1;
  unique_fd file(open(path, O_RDONLY | O_CLOEXEC));
  if (!file.valid()) {
    rl_log_debug("%s File open failed!\n", path);
    return -1;
  }
  struct stat st;
  if (fstat(file.get(), &st) != 0) return -1;
  rl_log_debug("file size:%x \n", static_cast<unsigned>(st.st_size));
  size_t file_len = static_cast<size_t>(st.st_size);
  unique_mapping map(mmap(nullptr, file_len, PROT_READ, MAP_SHARED, file.get(), 0), file_len);
  if (!map.valid()) {
    rl_log_debug("memory map failed!\n");
    return -1;
  }
  if (size < 0 || st.st_size != static_cast<off_t>(size)) {
    rl_log_err("%s size error\n", path);
    return -1;
  }
  char dev_path[32];
  snprintf(dev_path, sizeof dev_path, "/dev/mtd%d", mtd);
  unique_fd dev(open(dev_path, O_RDWR | O_CLOEXEC));
  if (!dev.valid()) {
    rl_log_err("%s open failed!\n", dev_path);
    return -1;
  }
  // A size that is not a whole number of blocks still has every byte
  // written: its last block is erased and written too.
  uint32_t len = static_cast<uint32_t>(size);
  uint32_t blocks = (len + FLASH_BLOCK_SIZE - 1) / FLASH_BLOCK_SIZE;
  erase_cursor c;
  if (erase_plan(dev.get(), uint64_t{blocks} * FLASH_BLOCK_SIZE, &c) != 0) return -1;
  for (uint32_t j = 0; j < blocks; ++j)
    if (erase_through(&c, (j + uint64_t{1}) * FLASH_BLOCK_SIZE) < 0) return -1;
  const unsigned char* data = static_cast<const unsigned char*>(map.get());
  for (uint32_t j = 0; j < blocks; ++j) {
    rl_log_debug("mtd_write :%x \n", mtd);
    uint32_t at = j * FLASH_BLOCK_SIZE;
    uint32_t chunk = len - at < FLASH_BLOCK_SIZE ? len - at : FLASH_BLOCK_SIZE;
    if (write_fully(dev.get(), data + at, chunk) < 0) return -1;
  }
  return 0;
}
