#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/files.h"

namespace {

TEST(Files, RegularFilesOnlyAndTheSameFileByAnyName) {
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::path(::testing::TempDir()) / ("tavrin_files_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string name = (dir / "caf\xC3\xA9.bin").string();
  std::ofstream(name, std::ios::binary) << "abc";
  uint64_t size = 0;
  EXPECT_TRUE(regularFileSize(name, &size));
  EXPECT_EQ(size, 3u);
  EXPECT_FALSE(regularFileSize(dir.string(), &size));
  EXPECT_FALSE(regularFileSize((dir / "missing").string(), &size));
  const std::string fifo = (dir / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(regularFileSize(fifo, &size));

  fs::create_symlink(name, dir / "link");
  EXPECT_TRUE(sameFile(name, (dir / "link").string()));
  EXPECT_TRUE(sameFile(name, (dir / "." / "caf\xC3\xA9.bin").string()));
  EXPECT_FALSE(sameFile(name, fifo));
  EXPECT_FALSE(sameFile(name, (dir / "missing").string()));

  std::FILE* file = openFile(name, "rb");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  fs::remove_all(dir);
}

}  // namespace
