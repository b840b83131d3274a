// A FileSystem in memory, with switches that make its operations fail, for tests and fuzzing.
// A crash point models the process dying: after that many writes reach the "disk", every later
// write fails, and whatever was appended but not committed is lost.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/file_system.h"

namespace kivo::test {

class MemoryFileSystem final : public FileSystem {
 public:
  FileContents readFile(const std::filesystem::path& path) override;
  std::variant<std::unique_ptr<PendingFile>, std::string> createFile(const std::filesystem::path& path) override;
  std::optional<std::string> appendToFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) override;
  std::optional<std::string> renameFile(const std::filesystem::path& from, const std::filesystem::path& to) override;
  std::optional<std::string> makeFolder(const std::filesystem::path&) override { return std::nullopt; }
  void removeAbandonedVersions(const std::filesystem::path&) override {}

  void put(const std::filesystem::path& path, Bytes bytes);
  std::optional<Bytes> get(const std::filesystem::path& path) const;

  // Faults: the next operations of that kind fail with this description while it is set.
  void failReads(std::optional<std::string> error);
  void failCreates(std::optional<std::string> error);
  void failCommits(std::optional<std::string> error);
  // After writes more commits, renames or file appends have taken effect, every write fails
  // ("crashed").
  void crashAfter(int writes);
  // Commits and file appends that took effect so far.
  int writes() const;

 private:
  friend class MemoryPendingFile;
  // Takes one write's turn; the error when the crash point has passed. REQUIRES mutex_.
  std::optional<std::string> takeWrite();

  mutable std::mutex mutex_;
  std::map<std::string, Bytes> files_;
  std::optional<std::string> readError_;
  std::optional<std::string> createError_;
  std::optional<std::string> commitError_;
  std::optional<int> crashAfter_;
  int writes_ = 0;
};

}  // namespace kivo::test
