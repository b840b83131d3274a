#include "audiopack/file_handle.h"

#include "audiopack/named_exception.h"
#include "kivo/format.h"
#include "kivo/log.h"

namespace kivo {

std::unique_ptr<KIVOFileHandle> KIVOFileHandle::initForReadFile(const std::filesystem::path& path, FileSystem& files) {
  std::unique_ptr<KIVOFileHandle> handle(new KIVOFileHandle(KIVOFileHandleModeRead));
  FileContents contents = files.readFile(path);
  switch (contents.status) {
    case FileContents::Status::kOpenFailed:
      logLine(format("[ERROR] Failed to open file for reading: %@", contents.error));
      return nullptr;
    case FileContents::Status::kReadFailed:
      logLine("[INFO] Failed to read file data");
      return nullptr;
    case FileContents::Status::kRead:
      break;
  }
  if (contents.bytes.empty()) logLine("[INFO] Readed file has no contents");
  handle->fileData_ = std::move(contents.bytes);
  return handle;
}

std::unique_ptr<KIVOFileHandle> KIVOFileHandle::initForWriteFile(const std::filesystem::path& path, FileSystem& files) {
  std::unique_ptr<KIVOFileHandle> handle(new KIVOFileHandle(KIVOFileHandleModeWrite));
  auto created = files.createFile(path);
  if (auto* error = std::get_if<std::string>(&created)) {
    logLine(format("Cannot open file for writing: %@:", *error));
    return nullptr;
  }
  handle->file_ = std::move(std::get<std::unique_ptr<PendingFile>>(created));
  handle->fileWritingData_.reserve(1024);
  return handle;
}

std::optional<Bytes> KIVOFileHandle::readDataOfLength(uint64_t count) {
  if (mode_ == KIVOFileHandleModeWrite) {
    logLine("[ERROR] Cannot read data: write mode");
    return std::nullopt;
  }
  if (count > fileData_.size() - offset_) {
    logLine("[ERROR] Cannot read data: EOF or not enough file contents");
    return std::nullopt;
  }
  const auto begin = fileData_.begin() + std::ptrdiff_t(offset_);
  offset_ += count;
  return Bytes(begin, begin + std::ptrdiff_t(count));
}

std::optional<Bytes> KIVOFileHandle::readDataToEndOfFile() {
  if (mode_ == KIVOFileHandleModeWrite) {
    logLine("[ERROR] Cannot read data to enf of file: write mode");
    return std::nullopt;
  }
  Bytes rest(fileData_.begin() + std::ptrdiff_t(offset_), fileData_.end());
  offset_ = fileData_.size();
  return rest;
}

bool KIVOFileHandle::seekRelative(int64_t delta) {
  if (mode_ == KIVOFileHandleModeWrite) throw NamedException("failed seekRelative", "write mode or unknown issues");
  // Unsigned wrap-around: a seek before the start becomes a huge offset and is refused too.
  const uint64_t target = offset_ + uint64_t(delta);
  if (target >= fileData_.size()) {
    logLine("[ERROR] seekRelative failed because offset is invalid");
    return false;
  }
  offset_ = target;
  return true;
}

uint64_t KIVOFileHandle::length() const {
  return mode_ == KIVOFileHandleModeRead ? fileData_.size() : writtenBytes_;
}

bool KIVOFileHandle::writeData(std::span<const uint8_t> data) {
  if (mode_ == KIVOFileHandleModeRead) {
    logLine("[ERROR] Cannot write data: read mode");
    return false;
  }
  fileWritingData_.insert(fileWritingData_.end(), data.begin(), data.end());
  writtenBytes_ += data.size();
  return true;
}

bool KIVOFileHandle::finishWrite() {
  if (mode_ == KIVOFileHandleModeRead) {
    logLine("[ERROR] Failed to finish file writting: read mode");
    return false;
  }
  if (!file_) {
    logLine("[ERROR] You must open file before call finishWrite");
    return false;
  }
  if (writtenBytes_ == 0 || fileWritingData_.empty()) logLine("[INFO] no written contents to finishWrite");
  const auto error = file_->commit(fileWritingData_);
  file_.reset();
  if (error) {
    logLine(format("[ERROR] Failed to finish file writting: %@", *error));
    return false;
  }
  return true;
}

}  // namespace kivo
