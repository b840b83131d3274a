#include "common/memory_file_system.h"

namespace kivo::test {

class MemoryPendingFile final : public PendingFile {
 public:
  MemoryPendingFile(MemoryFileSystem& files, std::string path) : files_(files), path_(std::move(path)) {}
  std::optional<std::string> append(std::span<const uint8_t> bytes) override {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    return std::nullopt;
  }
  std::optional<std::string> commit(std::span<const uint8_t> bytes) override {
    std::lock_guard lock(files_.mutex_);
    if (files_.commitError_) return files_.commitError_;
    if (auto crashed = files_.takeWrite()) return crashed;
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    files_.files_[path_] = std::move(pending_);
    return std::nullopt;
  }

 private:
  MemoryFileSystem& files_;
  std::string path_;
  Bytes pending_;
};

std::optional<std::string> MemoryFileSystem::takeWrite() {
  if (crashAfter_ && writes_ >= *crashAfter_) return "crashed";
  ++writes_;
  return std::nullopt;
}

std::optional<std::string> MemoryFileSystem::appendToFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  if (auto crashed = takeWrite()) return crashed;
  Bytes& file = files_[path.string()];
  file.insert(file.end(), bytes.begin(), bytes.end());
  return std::nullopt;
}

std::optional<std::string> MemoryFileSystem::renameFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::lock_guard lock(mutex_);
  const auto it = files_.find(from.string());
  if (it == files_.end()) return "No such file or directory";
  if (auto crashed = takeWrite()) return crashed;
  Bytes bytes = std::move(it->second);
  files_.erase(it);
  files_[to.string()] = std::move(bytes);
  return std::nullopt;
}

void MemoryFileSystem::crashAfter(int writes) {
  std::lock_guard lock(mutex_);
  crashAfter_ = writes;
}

int MemoryFileSystem::writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

FileContents MemoryFileSystem::readFile(const std::filesystem::path& path) {
  std::lock_guard lock(mutex_);
  FileContents contents;
  if (readError_) {
    contents.status = FileContents::Status::kReadFailed;
    contents.error = *readError_;
    return contents;
  }
  const auto it = files_.find(path.string());
  if (it == files_.end()) {
    contents.status = FileContents::Status::kOpenFailed;
    contents.missing = true;
    contents.error = "No such file or directory";
    return contents;
  }
  contents.bytes = it->second;
  return contents;
}

std::variant<std::unique_ptr<PendingFile>, std::string> MemoryFileSystem::createFile(const std::filesystem::path& path) {
  std::lock_guard lock(mutex_);
  if (createError_) return *createError_;
  return std::make_unique<MemoryPendingFile>(*this, path.string());
}

void MemoryFileSystem::put(const std::filesystem::path& path, Bytes bytes) {
  std::lock_guard lock(mutex_);
  files_[path.string()] = std::move(bytes);
}

std::optional<Bytes> MemoryFileSystem::get(const std::filesystem::path& path) const {
  std::lock_guard lock(mutex_);
  const auto it = files_.find(path.string());
  if (it == files_.end()) return std::nullopt;
  return it->second;
}

void MemoryFileSystem::failReads(std::optional<std::string> error) {
  std::lock_guard lock(mutex_);
  readError_ = std::move(error);
}

void MemoryFileSystem::failCreates(std::optional<std::string> error) {
  std::lock_guard lock(mutex_);
  createError_ = std::move(error);
}

void MemoryFileSystem::failCommits(std::optional<std::string> error) {
  std::lock_guard lock(mutex_);
  commitError_ = std::move(error);
}

}  // namespace kivo::test
