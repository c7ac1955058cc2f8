// File and directory sizes at the 32-bit limits. A 32-bit board reads
// sizes through 64-bit file offsets; a size kept in 32 bits anywhere would
// turn 2 GiB negative and 4 GiB into nothing, and trimming would then take
// the wrong files or none.
#include "store/log_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_root.h"

namespace {

static_assert(sizeof(off_t) == 8, "build with 64-bit file offsets (_FILE_OFFSET_BITS=64)");

// A sparse file of the given size: no blocks are written.
bool make_sparse(const std::string& path, off_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool sized = ftruncate(fd, size) == 0;
  close(fd);
  return sized;
}

class LargeFileTest : public TempRootTest {};

TEST_F(LargeFileTest, SizesOnBothSidesOfTwoAndFourGibibytesAreExact) {
  const std::string logs = root.at("/logs");
  ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
  const off_t sizes[] = {
      (off_t{1} << 31) - 1, off_t{1} << 31, (off_t{1} << 31) + 1,
      (off_t{1} << 32) - 1, off_t{1} << 32, (off_t{1} << 32) + 1,
  };
  LogDir dir;
  ASSERT_TRUE(log_dir_open(dir, logs.c_str()));
  std::uint64_t total = 0;
  for (off_t size : sizes) {
    const std::string name = "f" + std::to_string(size);
    ASSERT_TRUE(make_sparse(logs + "/" + name, size)) << size;
    unique_file stream = log_dir_open_read(dir, name.c_str());
    ASSERT_TRUE(stream) << size;
    EXPECT_EQ(stream_size(stream.get()), size);
    total += static_cast<std::uint64_t>(size);
    // The directory total passes 2^32 and then 2^34 as the files come.
    EXPECT_EQ(log_dir_total_size(dir, "\xff"), total) << size;
  }
  EXPECT_GT(total, std::uint64_t{1} << 34);
}

}  // namespace
