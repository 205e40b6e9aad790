// The shared-memory writer as the upgrader meets it: what lands in the
// segment, and what the writer refuses.
#include <gtest/gtest.h>
#include <errno.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "libupgrader/libupgrader.h"
#include "tests/support/files.h"

namespace {

const char kRom[] = "/tmp/shmwriter_test.rom";
const char kErr[] = "/tmp/shmwriter_test.err";

int shmwriter(const std::string& args) { return shell(std::string(SHMWRITER) + " " + args + " 2> " + kErr); }

void remove_segment() {
  int id = shmget(LIBUPD_SHM_KEY, 0, 0);
  if (id >= 0) shmctl(id, IPC_RMID, nullptr);
}

TEST(Shmwriter, RefusesARequestKindThatIsNoNumber) {
  ASSERT_TRUE(write_file(kRom, "ROM"));
  for (const char* kind : {"abc", "1x", "+1", "", "99999999999", "0x1"}) {
    SCOPED_TRACE(kind);
    EXPECT_EQ(2, shmwriter(std::string("--state '") + kind + "' " + kRom + " -- /bin/true"));
    EXPECT_NE(std::string::npos, read_file(kErr).find(std::string("--state ") + kind)) << read_file(kErr);
  }
}

// What is no regular file is refused by name, at once (a FIFO with no
// writer included), and the load reported failed; the program still starts.
TEST(Shmwriter, RefusesARomThatIsNoRegularFile) {
  const std::string fifo = std::string(kRom) + ".fifo", dir = std::string(kRom) + ".dir";
  (void)unlink(fifo.c_str());
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  ASSERT_TRUE(mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST);
  for (auto [path, kind] : {std::pair{fifo, "a FIFO"}, {dir, "a directory"}, {std::string("/dev/null"), "a device"}}) {
    SCOPED_TRACE(path);
    remove_segment();
    EXPECT_EQ(0, shmwriter("--state 2 " + path + " -- /bin/true"));
    int id = shmget(LIBUPD_SHM_KEY, 0, 0);
    auto* mem = static_cast<unsigned char*>(shmat(id, nullptr, SHM_RDONLY));
    ASSERT_NE(reinterpret_cast<void*>(-1), mem);
    int32_t state;
    memcpy(&state, mem + 4, sizeof state);
    EXPECT_EQ(~2, state);
    shmdt(mem);
    std::string err = read_file(kErr);
    EXPECT_NE(std::string::npos, err.find(path + ": not a regular file (" + kind)) << err;
  }
  remove_segment();
  (void)unlink(fifo.c_str());
  (void)rmdir(dir.c_str());
}

// A segment that someone else made smaller than a ROM is filled to its end
// and no further; the load is reported failed.
TEST(Shmwriter, NeverWritesPastAnExistingSmallerSegment) {
  remove_segment();
  const size_t segment = 4096 + 16;
  int id = shmget(LIBUPD_SHM_KEY, segment, IPC_CREAT | 0666);
  ASSERT_GE(id, 0);
  ASSERT_TRUE(write_file(kRom, std::string(256 * 1024, 'R')));
  EXPECT_EQ(0, shmwriter(std::string("--state 1 ") + kRom + " -- /bin/true"));
  auto* mem = static_cast<unsigned char*>(shmat(id, nullptr, SHM_RDONLY));
  ASSERT_NE(reinterpret_cast<void*>(-1), mem);
  int32_t state;
  memcpy(&state, mem + 4, sizeof state);
  EXPECT_EQ(~1, state);  // the complement of the kind: a failed load
  EXPECT_EQ('R', mem[segment - 1]);
  shmdt(mem);
  EXPECT_NE(std::string::npos, read_file(kErr).find(kRom)) << read_file(kErr);
  remove_segment();
}

}  // namespace
