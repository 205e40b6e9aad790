// The floor under a progress update: the two copies of the 261120-byte
// G-type panel image into the framebuffer that every refresh makes, alone.
// The framebuffer is a shared mapping of a file, as on the simulated phone.
//
//   bench_copies FILE [N]
//
// Under callgrind, --toggle-collect='two_copies*' counts exactly N pairs.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

namespace {
constexpr size_t kPanelImage = 261120;
}

__attribute__((noinline)) void two_copies(unsigned char* fb, const unsigned char* staging, int n) {
  for (int i = 0; i < n; ++i) {
    memcpy(fb, staging, kPanelImage);
    memcpy(fb, staging, kPanelImage);
    __asm__ volatile("" : : "r"(fb) : "memory");
  }
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: bench_copies FILE [N]\n");
    return 2;
  }
  int n = argc > 2 ? atoi(argv[2]) : 50;
  int fd = open(argv[1], O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (n <= 0 || fd < 0 || ftruncate(fd, kPanelImage) != 0) {
    perror(argv[1]);
    return 1;
  }
  void* map = mmap(nullptr, kPanelImage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) {
    perror("mmap");
    return 1;
  }
  std::vector<unsigned char> staging(kPanelImage);
  for (size_t i = 0; i < staging.size(); ++i) staging[i] = static_cast<unsigned char>(i * 31);
  two_copies(static_cast<unsigned char*>(map), staging.data(), n);
  munmap(map, kPanelImage);
  printf("%d pairs of %zu-byte copies\n", n, kPanelImage);
  return 0;
}
