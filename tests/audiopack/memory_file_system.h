// A FileSystem in memory, with switches that make its operations fail, for pack tests and fuzzing.
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

  void put(const std::filesystem::path& path, Bytes bytes);
  std::optional<Bytes> get(const std::filesystem::path& path) const;

  // Faults: the next operations of that kind fail with this description while it is set.
  void failReads(std::optional<std::string> error);
  void failCreates(std::optional<std::string> error);
  void failCommits(std::optional<std::string> error);

 private:
  friend class MemoryPendingFile;
  mutable std::mutex mutex_;
  std::map<std::string, Bytes> files_;
  std::optional<std::string> readError_;
  std::optional<std::string> createError_;
  std::optional<std::string> commitError_;
};

}  // namespace kivo::test
