// Owning memory mapping: unmapped on every path out of its scope.
#pragma once

#include <stddef.h>
#include <sys/mman.h>

class unique_mapping {
 public:
  unique_mapping() = default;
  unique_mapping(void* addr, size_t len) : addr_(addr == MAP_FAILED ? nullptr : addr), len_(len) {}
  unique_mapping(const unique_mapping&) = delete;
  unique_mapping& operator=(const unique_mapping&) = delete;
  unique_mapping(unique_mapping&& o) noexcept : addr_(o.addr_), len_(o.len_) { o.addr_ = nullptr; }
  ~unique_mapping() {
    if (addr_) munmap(addr_, len_);
  }
  void* get() const { return addr_; }
  size_t size() const { return len_; }
  bool valid() const { return addr_ != nullptr; }

 private:
  void* addr_ = nullptr;
  size_t len_ = 0;
};
