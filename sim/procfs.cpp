#define FUSE_USE_VERSION 31
#include "sim/procfs.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <dirent.h>

#include "sim/envstore.h"
#include "sim/fuse_serve.h"

namespace sim {

int64_t monotonic_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

namespace {

ProcfsOptions g_opt;
int g_frame_count = 0;

enum class Node { none, dir, env, software, hwver, refresh, link };

struct Entry {
  const char* path;
  Node node;
};

const Entry kEntries[] = {
    {"/", Node::dir},          {"/avalanche", Node::dir},   {"/avalanche/env", Node::env},
    {"/ver", Node::dir},       {"/ver/software", Node::software}, {"/misc", Node::dir},
    {"/misc/hwver", Node::hwver}, {"/glcd", Node::dir},       {"/glcd/refresh", Node::refresh},
};

std::string state(const char* name) { return std::string("/sim/state/") + name; }
std::string realproc(const std::string& name) { return "/sim/realproc/" + name; }

Node lookup(const char* path) {
  for (const Entry& e : kEntries)
    if (strcmp(e.path, path) == 0) return e.node;
  // One level only: deeper names live behind the links.
  if (path[0] == '/' && strchr(path + 1, '/') == nullptr) {
    struct stat st;
    if (lstat(realproc(path + 1).c_str(), &st) == 0) return Node::link;
  }
  return Node::none;
}

std::string read_text(const std::string& path) {
  std::string text;
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  fclose(f);
  return text;
}

void append_line(const std::string& path, const std::string& line) {
  FILE* f = fopen(path.c_str(), "a");
  if (!f) return;
  fputs(line.c_str(), f);
  fclose(f);
}

double now_ms() { return static_cast<double>(monotonic_ns() - g_opt.boot_start_ns) / 1e6; }

// The text a kernel file shows now; -errno for a fault.
int file_text(Node node, std::string* text) {
  switch (node) {
    case Node::env:
      if (g_opt.env_read_fails) return -EIO;
      *text = env_format(env_load(state("env")));
      return 0;
    case Node::software:
      *text = read_text(state("software"));
      return 0;
    case Node::hwver:
      if (g_opt.hwver_read_fails) return -EIO;
      *text = read_text(state("hwver"));
      return 0;
    case Node::refresh:
      text->clear();
      return 0;
    default:
      return -EINVAL;
  }
}

int sim_getattr(const char* path, struct stat* st, struct fuse_file_info*) {
  memset(st, 0, sizeof *st);
  st->st_nlink = 1;
  st->st_atime = st->st_mtime = st->st_ctime = time(nullptr);
  switch (lookup(path)) {
    case Node::none:
      return -ENOENT;
    case Node::dir:
      st->st_mode = S_IFDIR | 0555;
      st->st_nlink = 2;
      return 0;
    case Node::env:
    case Node::refresh:
    case Node::software:
    case Node::hwver: {
      // The real size, read afresh at every stat: the kernel's page-cache
      // readers (sendfile, which busybox cat uses into a file) stop at it.
      Node node = lookup(path);
      bool writable = node == Node::env || node == Node::refresh;
      st->st_mode = S_IFREG | (writable ? 0644 : 0444);
      std::string text;
      if (file_text(node, &text) == 0) st->st_size = static_cast<off_t>(text.size());
      return 0;
    }
    case Node::link:
      st->st_mode = S_IFLNK | 0777;
      st->st_size = static_cast<off_t>(strlen("/sim/realproc") + strlen(path));
      return 0;
  }
  return -ENOENT;
}

int sim_readlink(const char* path, char* buf, size_t size) {
  if (lookup(path) != Node::link || size == 0) return -EINVAL;
  snprintf(buf, size, "/sim/realproc%s", path);
  return 0;
}

int sim_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
                enum fuse_readdir_flags) {
  if (lookup(path) != Node::dir) return -ENOTDIR;
  fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  std::string prefix = strcmp(path, "/") == 0 ? "/" : std::string(path) + "/";
  std::vector<std::string> own;
  for (const Entry& e : kEntries) {
    std::string p = e.path;
    if (p.size() <= prefix.size() || p.compare(0, prefix.size(), prefix) != 0) continue;
    std::string rest = p.substr(prefix.size());
    if (rest.find('/') != std::string::npos) continue;
    own.push_back(rest);
    fill(buf, rest.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  }
  if (prefix != "/") return 0;
  DIR* d = opendir("/sim/realproc");
  if (!d) return 0;
  while (struct dirent* de = readdir(d)) {
    std::string name = de->d_name;
    if (name == "." || name == "..") continue;
    bool shadowed = false;
    for (const std::string& o : own) shadowed = shadowed || o == name;
    if (!shadowed) fill(buf, name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  }
  closedir(d);
  return 0;
}

int sim_open(const char* path, struct fuse_file_info* fi) {
  Node n = lookup(path);
  if (n == Node::none) return -ENOENT;
  if (n == Node::dir) return -EISDIR;
  bool writing = (fi->flags & O_ACCMODE) != O_RDONLY;
  if (writing && (n == Node::software || n == Node::hwver)) return -EACCES;
  fi->direct_io = 0;  // through the page cache, so that splice and sendfile read it
  fi->keep_cache = 0;  // but never a stale copy: every open reads afresh
  return 0;
}

// Only the sizes of this boot's files matter; a truncating open (">" in the
// shell) reaches here and changes nothing, as on procfs.
int sim_truncate(const char* path, off_t, struct fuse_file_info*) {
  Node n = lookup(path);
  return (n == Node::env || n == Node::refresh) ? 0 : -EACCES;
}

int sim_read(const char* path, char* buf, size_t size, off_t offset, struct fuse_file_info*) {
  std::string text;
  int rc = file_text(lookup(path), &text);
  if (rc < 0) return rc;
  if (offset < 0 || static_cast<size_t>(offset) >= text.size()) return 0;
  size_t n = text.size() - static_cast<size_t>(offset);
  if (n > size) n = size;
  memcpy(buf, text.data() + offset, n);
  return static_cast<int>(n);
}

// The LCD driver copies the framebuffer to the glass: keep a copy of it.
int capture_frame() {
  std::string fb = read_text("/dev/fb0");
  char name[64];
  snprintf(name, sizeof name, "frame-%04d.fb", ++g_frame_count);
  const std::string dir = "/sim/boot/frames/";
  FILE* f = fopen((dir + name).c_str(), "w");
  if (!f) return -EIO;
  bool ok = fwrite(fb.data(), 1, fb.size(), f) == fb.size();
  if (fclose(f) != 0 || !ok) return -EIO;
  char line[128];
  snprintf(line, sizeof line, "%d %.1f %zu\n", g_frame_count, now_ms(), fb.size());
  append_line(dir + "index", line);
  return 0;
}

int sim_write(const char* path, const char* buf, size_t size, off_t, struct fuse_file_info*) {
  std::string data(buf, size);
  switch (lookup(path)) {
    case Node::env: {
      if (g_opt.env_write_fails) return -EIO;
      power_enter(g_opt.power);
      EnvList env = env_load(state("env"));
      env_apply(&env, data);
      int saved = env_save(state("env"), env);
      power_leave(g_opt.power);
      if (saved != 0) return -EIO;
      std::string record = data;
      while (!record.empty() && (record.back() == '\n' || record.back() == '\r')) record.pop_back();
      for (char& c : record)
        if (c == '\n') c = '|';
      char t[32];
      snprintf(t, sizeof t, "%.1f ", now_ms());
      append_line("/sim/boot/env-writes", t + record + "\n");
      return static_cast<int>(size);
    }
    case Node::refresh: {
      if (g_opt.refresh_fails) return -EIO;
      power_enter(g_opt.power);
      if (g_opt.power && ++g_opt.power->frames == g_opt.cut_frame)
        power_cut_here(g_opt.power, "frame " + std::to_string(g_opt.cut_frame));
      int rc = capture_frame();
      power_leave(g_opt.power);
      return rc < 0 ? rc : static_cast<int>(size);
    }
    default:
      return -EACCES;
  }
}

void* sim_init(struct fuse_conn_info*, struct fuse_config* cfg) {
  cfg->entry_timeout = 0;
  cfg->attr_timeout = 0;
  cfg->negative_timeout = 0;
  cfg->direct_io = 0;
  cfg->kernel_cache = 0;
  return nullptr;
}

}  // namespace

int procfs_serve(const ProcfsOptions& options, int ready_fd) {
  g_opt = options;
  if (access("/dev/fuse", R_OK | W_OK) != 0) {
    fprintf(stderr, "simdev: FUSE is not available (/dev/fuse: %s); install fuse3 and load the fuse module\n",
            strerror(errno));
    return -1;
  }
  struct fuse_operations ops;
  memset(&ops, 0, sizeof ops);
  ops.init = sim_init;
  ops.getattr = sim_getattr;
  ops.readlink = sim_readlink;
  ops.readdir = sim_readdir;
  ops.open = sim_open;
  ops.read = sim_read;
  ops.write = sim_write;
  ops.truncate = sim_truncate;
  return fuse_serve_at("proc", ops, "/proc", ready_fd);
}

}  // namespace sim
