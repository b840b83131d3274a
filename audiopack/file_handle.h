// Whole-file access under the pack reader and dumper. Read mode loads the whole file at creation and
// serves reads from memory with a cursor. Write mode collects every byte in memory; finishWrite
// replaces the file with them in one step, so until then, and when that fails, the file keeps its
// old content. Failures are logged with fixed texts and reported as a missing result or false.
// Not thread-safe: a handle belongs to one reader or dumper on one thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>

#include "platform/file_system.h"
#include "kivo/bytes.h"

namespace kivo {

class KIVOFileHandle {
 public:
  enum Mode : int32_t { KIVOFileHandleModeRead = 0, KIVOFileHandleModeWrite = 1 };

  // A read-mode handle holding the file's content, or null (logged) when it cannot be read.
  // An empty file is accepted.
  static std::unique_ptr<KIVOFileHandle> initForReadFile(const std::filesystem::path& path, FileSystem& files);
  // A write-mode handle that will replace path, or null (logged) when no new version can be started.
  static std::unique_ptr<KIVOFileHandle> initForWriteFile(const std::filesystem::path& path, FileSystem& files);

  Mode mode() const { return mode_; }
  uint64_t offset() const { return offset_; }

  // The next count bytes, advancing the cursor; nothing (logged, cursor kept) when fewer are left
  // or in write mode.
  std::optional<Bytes> readDataOfLength(uint64_t count);
  // The bytes from the cursor to the end (possibly none), moving the cursor to the end; nothing in
  // write mode.
  std::optional<Bytes> readDataToEndOfFile();
  // Moves the cursor by delta; accepted only when the new offset lies before the end (so a seek to
  // exactly the end fails). Throws NamedException "failed seekRelative" in write mode.
  bool seekRelative(int64_t delta);
  // Read mode: the content length. Write mode: the bytes written so far.
  uint64_t length() const;

  // Appends to the write buffer; false (logged) in read mode.
  bool writeData(std::span<const uint8_t> data);
  // Replaces the file with the buffer and closes it. False (logged) when it fails, which leaves the
  // file as it was, in read mode, or when already finished.
  bool finishWrite();

 private:
  explicit KIVOFileHandle(Mode mode) : mode_(mode) {}

  Mode mode_;
  Bytes fileData_;                     // read mode: the whole content
  uint64_t offset_ = 0;                // read mode: next byte to read
  std::unique_ptr<PendingFile> file_;  // write mode: open until finishWrite
  Bytes fileWritingData_;              // write mode: every byte written so far
  uint64_t writtenBytes_ = 0;
};

}  // namespace kivo
