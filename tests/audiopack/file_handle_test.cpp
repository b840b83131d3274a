// KIVOFileHandle on the disk and over the memory file system: cursor rules, misuse, atomic writes.
#include "audiopack/file_handle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "audiopack/named_exception.h"
#include "common/log_capture.h"
#include "common/memory_file_system.h"

namespace {

namespace fs = std::filesystem;
using kivo::Bytes;
using kivo::DiskFileSystem;
using kivo::KIVOFileHandle;
using kivo::test::LogCapture;
using kivo::test::MemoryFileSystem;

const char* const kEof = "[ERROR] Cannot read data: EOF or not enough file contents";

class TempDir {
 public:
  TempDir() : path_(fs::temp_directory_path() / ("kivo-fh-" + std::to_string(::getpid()))) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path operator/(const std::string& name) const { return path_ / name; }
  size_t entries() const { return size_t(std::distance(fs::directory_iterator(path_), fs::directory_iterator())); }

 private:
  fs::path path_;
};

Bytes readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeAll(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

TEST(FileHandleTest, ReadsFollowTheCursorAndStopAtTheEnd) {
  MemoryFileSystem files;
  files.put("f", {1, 2, 3, 4, 5, 6});
  LogCapture log;
  auto h = KIVOFileHandle::initForReadFile("f", files);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->mode(), KIVOFileHandle::KIVOFileHandleModeRead);
  EXPECT_EQ(h->length(), 6u);
  EXPECT_EQ(h->readDataOfLength(0), Bytes{});
  EXPECT_EQ(h->readDataOfLength(2), (Bytes{1, 2}));
  EXPECT_EQ(h->readDataOfLength(4), (Bytes{3, 4, 5, 6}));  // exactly what is left
  EXPECT_EQ(h->offset(), 6u);
  EXPECT_EQ(h->readDataOfLength(1), std::nullopt);
  EXPECT_TRUE(log.contains(kEof));
  EXPECT_EQ(h->offset(), 6u);
  EXPECT_EQ(h->readDataToEndOfFile(), Bytes{});
  EXPECT_EQ(h->readDataOfLength(UINT64_MAX), std::nullopt);  // no wrap-around in the bounds check
}

TEST(FileHandleTest, SeeksMustLandBeforeTheEnd) {
  MemoryFileSystem files;
  files.put("f", {1, 2, 3, 4});
  auto h = KIVOFileHandle::initForReadFile("f", files);
  ASSERT_TRUE(h);
  LogCapture log;
  ASSERT_EQ(h->readDataOfLength(1), Bytes{1});
  EXPECT_TRUE(h->seekRelative(-1));
  EXPECT_EQ(h->readDataOfLength(1), Bytes{1});  // the same byte again
  EXPECT_TRUE(h->seekRelative(2));
  EXPECT_EQ(h->offset(), 3u);
  EXPECT_FALSE(h->seekRelative(1));   // exactly the end
  EXPECT_FALSE(h->seekRelative(-4));  // before the start
  EXPECT_EQ(h->offset(), 3u);
  EXPECT_TRUE(log.contains("[ERROR] seekRelative failed because offset is invalid"));
  EXPECT_EQ(h->readDataToEndOfFile(), Bytes{4});
}

TEST(FileHandleTest, MisusedModesLogAndFail) {
  MemoryFileSystem files;
  files.put("r", {7});
  auto reader = KIVOFileHandle::initForReadFile("r", files);
  auto writer = KIVOFileHandle::initForWriteFile("w", files);
  ASSERT_TRUE(reader && writer);
  LogCapture log;
  EXPECT_FALSE(reader->writeData(Bytes{1}));
  EXPECT_FALSE(reader->finishWrite());
  EXPECT_EQ(writer->readDataOfLength(1), std::nullopt);
  EXPECT_EQ(writer->readDataToEndOfFile(), std::nullopt);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"[ERROR] Cannot write data: read mode",
                                                   "[ERROR] Failed to finish file writting: read mode",
                                                   "[ERROR] Cannot read data: write mode",
                                                   "[ERROR] Cannot read data to enf of file: write mode"}));
  try {
    writer->seekRelative(0);
    FAIL() << "no exception";
  } catch (const kivo::NamedException& e) {
    EXPECT_EQ(e.name(), "failed seekRelative");
    EXPECT_EQ(e.reason(), "write mode or unknown issues");
  }
}

TEST(FileHandleTest, CreationFailuresAreLoggedAndGiveNothing) {
  MemoryFileSystem files;
  LogCapture log;
  EXPECT_FALSE(KIVOFileHandle::initForReadFile("missing", files));
  files.failReads("Is a directory");
  files.put("dir", {});
  EXPECT_FALSE(KIVOFileHandle::initForReadFile("dir", files));
  files.failCreates("Permission denied");
  EXPECT_FALSE(KIVOFileHandle::initForWriteFile("w", files));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"[ERROR] Failed to open file for reading: No such file or directory",
                                                   "[INFO] Failed to read file data",
                                                   "Cannot open file for writing: Permission denied:"}));
}

TEST(FileHandleTest, DiskReadsWholeFilesAndReportsWhyNot) {
  TempDir dir;
  DiskFileSystem disk;
  LogCapture log;
  writeAll(dir / "empty", {});
  auto empty = KIVOFileHandle::initForReadFile(dir / "empty", disk);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->length(), 0u);
  EXPECT_TRUE(log.contains("[INFO] Readed file has no contents"));

  Bytes big(200000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7);
  writeAll(dir / "big", big);
  auto h = KIVOFileHandle::initForReadFile(dir / "big", disk);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->readDataToEndOfFile(), big);

  EXPECT_FALSE(KIVOFileHandle::initForReadFile(dir / "missing", disk));
  EXPECT_TRUE(log.contains("[ERROR] Failed to open file for reading: No such file or directory"));
  fs::create_directory(dir / "sub");
  EXPECT_FALSE(KIVOFileHandle::initForReadFile(dir / "sub", disk));  // opens, but cannot be read
  EXPECT_TRUE(log.contains("[INFO] Failed to read file data"));
}

TEST(FileHandleTest, DiskWritesReplaceTheFileOnlyAtFinish) {
  TempDir dir;
  DiskFileSystem disk;
  const fs::path target = dir / "pack";
  writeAll(target, {9, 9, 9});
  LogCapture log;
  {
    auto h = KIVOFileHandle::initForWriteFile(target, disk);
    ASSERT_TRUE(h);
    EXPECT_TRUE(h->writeData(Bytes{1, 2}));
    EXPECT_EQ(h->length(), 2u);
    EXPECT_EQ(readAll(target), (Bytes{9, 9, 9}));  // untouched until finishWrite
  }
  // Dropped without finishWrite: the old content stays and no temporary file is left.
  EXPECT_EQ(readAll(target), (Bytes{9, 9, 9}));
  EXPECT_EQ(dir.entries(), 1u);

  auto h = KIVOFileHandle::initForWriteFile(target, disk);
  ASSERT_TRUE(h);
  h->writeData(Bytes{1, 2});
  h->writeData(Bytes{3});
  EXPECT_TRUE(h->finishWrite());
  EXPECT_EQ(readAll(target), (Bytes{1, 2, 3}));
  EXPECT_FALSE(h->finishWrite());
  EXPECT_TRUE(log.contains("[ERROR] You must open file before call finishWrite"));
  EXPECT_EQ(dir.entries(), 1u);

  auto nothing = KIVOFileHandle::initForWriteFile(target, disk);
  ASSERT_TRUE(nothing);
  EXPECT_TRUE(nothing->finishWrite());
  EXPECT_TRUE(log.contains("[INFO] no written contents to finishWrite"));
  EXPECT_TRUE(fs::exists(target));
  EXPECT_EQ(fs::file_size(target), 0u);
}

TEST(FileHandleTest, DiskFailuresKeepTheOldFile) {
  TempDir dir;
  DiskFileSystem disk;
  LogCapture log;
  EXPECT_FALSE(KIVOFileHandle::initForWriteFile(dir / "no-such-dir" / "pack", disk));
  EXPECT_TRUE(log.contains("Cannot open file for writing: No such file or directory:"));

  // A directory in the way cannot be replaced by a file.
  fs::create_directories(dir / "pack" / "inside");
  auto h = KIVOFileHandle::initForWriteFile(dir / "pack", disk);
  ASSERT_TRUE(h);
  h->writeData(Bytes{1});
  EXPECT_FALSE(h->finishWrite());
  EXPECT_TRUE(fs::is_directory(dir / "pack" / "inside"));
  EXPECT_EQ(dir.entries(), 1u);
  const auto lines = log.lines();
  EXPECT_EQ(lines.back().rfind("[ERROR] Failed to finish file writting: ", 0), 0u) << lines.back();
}

}  // namespace
