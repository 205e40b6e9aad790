#include "platform/mtd_device.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "common/unique_fd.h"
#include "platform/device_file.h"
#include "platform/mtd_rules.h"

namespace {

constexpr size_t kIoPiece = 65536;

int fail_with(int err) {
  errno = err;
  return -1;
}

// Reads the control file of the device behind fd into *control and its path
// into path. A missing file leaves the defaults.
int load_control(int fd, mtd_control* control, char* path, size_t path_size) {
  if (plat_fd_path(fd, path, path_size) != 0) return -1;
  char name[PATH_MAX + 8];
  if (snprintf(name, sizeof name, "%s.sim", path) >= static_cast<int>(sizeof name)) return fail_with(ENAMETOOLONG);
  unique_fd cfd(open(name, O_RDONLY | O_CLOEXEC));
  if (!cfd.valid()) return errno == ENOENT ? 0 : -1;
  char text[4096];
  size_t used = 0;
  while (used < sizeof text) {
    ssize_t n = read(cfd.get(), text + used, sizeof text - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  mtd_control_parse(text, used, control);
  return 0;
}

// A window of the simulator's chip takes erase and re-map as one request
// line written to its control file; the answer is the write's.
int send_request(const char* path, const char* verb, uint32_t a, uint32_t b) {
  char name[PATH_MAX + 8];
  if (snprintf(name, sizeof name, "%s.sim", path) >= static_cast<int>(sizeof name)) return fail_with(ENAMETOOLONG);
  unique_fd cfd(open(name, O_WRONLY | O_CLOEXEC));
  if (!cfd.valid()) return -1;
  char line[64];
  int n = snprintf(line, sizeof line, "%s 0x%x 0x%x\n", verb, a, b);
  for (;;) {
    ssize_t w = write(cfd.get(), line, static_cast<size_t>(n));
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return -1;
    return w == n ? 0 : fail_with(EIO);
  }
}

int file_size(int fd, off_t* size) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  *size = st.st_size;
  return 0;
}

ssize_t pwrite_all(int fd, const unsigned char* buf, size_t len, off_t at) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = pwrite(fd, buf + done, len - done, at + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t pread_all(int fd, unsigned char* buf, size_t len, off_t at) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = pread(fd, buf + done, len - done, at + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

// Sets [at, at + len) to 0xFF: erased flash.
int fill_erased(int fd, off_t at, off_t len) {
  size_t piece = static_cast<size_t>(len < static_cast<off_t>(kIoPiece) ? len : static_cast<off_t>(kIoPiece));
  if (piece == 0) return 0;
  std::unique_ptr<unsigned char[]> ones(new (std::nothrow) unsigned char[piece]);
  if (!ones) return fail_with(ENOMEM);
  memset(ones.get(), 0xFF, piece);
  for (off_t done = 0; done < len;) {
    size_t n = static_cast<size_t>(len - done < static_cast<off_t>(piece) ? len - done : static_cast<off_t>(piece));
    if (pwrite_all(fd, ones.get(), n, at + done) < 0) return -1;
    done += static_cast<off_t>(n);
  }
  return 0;
}

int emulate_get_info(int fd, mtd_info_user* info) {
  mtd_control c;
  char path[PATH_MAX];
  off_t size = 0;
  if (load_control(fd, &c, path, sizeof path) != 0 || file_size(fd, &size) != 0) return -1;
  if (c.fail_info) return fail_with(EIO);
  memset(info, 0, sizeof *info);
  info->type = MTD_NORFLASH;
  info->flags = MTD_CAP_NORFLASH;
  info->size = static_cast<uint32_t>(size);
  info->erasesize = c.erasesize;
  info->writesize = 1;
  return 0;
}

int emulate_erase(int fd, const erase_info_user* region) {
  mtd_control c;
  char path[PATH_MAX];
  off_t size = 0;
  if (load_control(fd, &c, path, sizeof path) != 0) return -1;
  if (c.served) return send_request(path, "erase", region->start, region->length);
  if (file_size(fd, &size) != 0) return -1;
  uint64_t erase_len = 0;
  int rc = mtd_rules_erase(&c, static_cast<uint64_t>(size), region->start, region->length, &erase_len);
  if (erase_len > 0 && fill_erased(fd, static_cast<off_t>(region->start), static_cast<off_t>(erase_len)) != 0)
    return -1;
  return rc < 0 ? fail_with(-rc) : 0;
}

// The file keeps old AND new in every byte written; the offset advances by
// the bytes stored.
ssize_t program_file(int fd, const unsigned char* data, size_t len, off_t at) {
  size_t piece = len < kIoPiece ? len : kIoPiece;
  std::unique_ptr<unsigned char[]> cell(new (std::nothrow) unsigned char[piece]);
  if (!cell) return fail_with(ENOMEM);
  for (size_t done = 0; done < len;) {
    size_t n = len - done < piece ? len - done : piece;
    off_t where = at + static_cast<off_t>(done);
    if (pread_all(fd, cell.get(), n, where) < 0) return -1;
    mtd_rules_program(cell.get(), data + done, n);
    if (pwrite_all(fd, cell.get(), n, where) < 0) return -1;
    done += n;
  }
  if (lseek(fd, at + static_cast<off_t>(len), SEEK_SET) < 0) return -1;
  return static_cast<ssize_t>(len);
}

ssize_t emulate_write(int fd, const void* buf, size_t len) {
  mtd_control c;
  char path[PATH_MAX];
  off_t size = 0;
  if (load_control(fd, &c, path, sizeof path) != 0) return -1;
  if (c.served) {
    // The chip applies the rules to a plain write.
    for (;;) {
      ssize_t n = write(fd, buf, len);
      if (n < 0 && errno == EINTR) continue;
      return n;
    }
  }
  if (file_size(fd, &size) != 0) return -1;
  off_t at = lseek(fd, 0, SEEK_CUR);
  if (at < 0) return -1;
  ssize_t count = mtd_rules_write(&c, static_cast<uint64_t>(size), static_cast<uint64_t>(at), len);
  if (count <= 0) return count < 0 ? fail_with(static_cast<int>(-count)) : 0;
  return program_file(fd, static_cast<const unsigned char*>(buf), static_cast<size_t>(count), at);
}

int emulate_repair_check(int fd) {
  mtd_control c;
  char path[PATH_MAX];
  if (load_control(fd, &c, path, sizeof path) != 0) return -1;
  return c.remap ? 0 : fail_with(ENOTTY);
}

// A plain file takes its new size (new space reads as erased); a window of
// the chip moves. Either way the request is appended to "<device>.log" as
// "remap 0x<offset> 0x<size>" (the chip's server writes its own).
int emulate_addr_repair(int fd, const mtd_repair_region* region) {
  mtd_control c;
  char path[PATH_MAX];
  off_t size = 0;
  if (load_control(fd, &c, path, sizeof path) != 0) return -1;
  int rc = mtd_rules_remap(&c);
  if (rc < 0) return fail_with(-rc);
  if (c.served) return send_request(path, "remap", region->offset, region->size);
  if (file_size(fd, &size) != 0) return -1;
  off_t new_size = static_cast<off_t>(region->size);
  if (new_size < size && ftruncate(fd, new_size) != 0) return -1;
  if (new_size > size && fill_erased(fd, size, new_size - size) != 0) return -1;

  char log_path[PATH_MAX + 8];
  if (snprintf(log_path, sizeof log_path, "%s.log", path) >= static_cast<int>(sizeof log_path))
    return fail_with(ENAMETOOLONG);
  unique_fd log(open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!log.valid()) return -1;
  char line[64];
  int n = snprintf(line, sizeof line, "remap 0x%x 0x%x\n", region->offset, region->size);
  return write(log.get(), line, static_cast<size_t>(n)) == n ? 0 : -1;
}

}  // namespace

int plat_mtd_get_info(int fd, mtd_info_user* info) {
  if (!info) return fail_with(EFAULT);
  if (plat_is_emulated(fd)) return emulate_get_info(fd, info);
  return ioctl(fd, MEMGETINFO, info) < 0 ? -1 : 0;
}

int plat_mtd_erase(int fd, const erase_info_user* region) {
  if (!region) return fail_with(EFAULT);
  if (plat_is_emulated(fd)) return emulate_erase(fd, region);
  erase_info_user request = *region;
  return ioctl(fd, MEMERASE, &request) < 0 ? -1 : 0;
}

ssize_t plat_mtd_write(int fd, const void* buf, size_t len) {
  if (!buf) return fail_with(EFAULT);
  if (plat_is_emulated(fd)) return emulate_write(fd, buf, len);
  for (;;) {
    ssize_t n = write(fd, buf, len);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

int plat_mtd_repair_check(int fd) {
  if (plat_is_emulated(fd)) return emulate_repair_check(fd);
  return ioctl(fd, MTD_REPAIR_CHECK, 0UL) == 0 ? 0 : -1;
}

int plat_mtd_addr_repair(int fd, const mtd_repair_region* region) {
  if (!region) return fail_with(EFAULT);
  if (plat_is_emulated(fd)) return emulate_addr_repair(fd, region);
  mtd_repair_region request = *region;
  return ioctl(fd, MTD_ADDR_REPAIR, &request) < 0 ? -1 : 0;
}
