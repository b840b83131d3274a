// Whole-file storage under KIVOFileHandle: the disk, or (in tests and fuzzing) memory and faults.
// A file is read whole, and replaced whole: a new version stays invisible until it is committed,
// so a failed or abandoned write leaves the file as it was. Implementations are thread-safe.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "kivo/bytes.h"

namespace kivo {

// A file's whole content, or why it could not be had.
struct FileContents {
  enum class Status { kRead, kOpenFailed, kReadFailed };
  Status status = Status::kRead;
  Bytes bytes;        // kRead: the content
  std::string error;  // otherwise: a description, e.g. "No such file or directory"
};

// The next version of one file. Destroying it without a successful commit leaves the file as it was.
class PendingFile {
 public:
  virtual ~PendingFile() = default;
  // Makes bytes the file's whole content in one step. Returns nothing on success, else an error
  // description; the file then holds exactly what it held before. Call at most once.
  virtual std::optional<std::string> commit(std::span<const uint8_t> bytes) = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual FileContents readFile(const std::filesystem::path& path) = 0;
  // Starts a new version of path (which need not exist yet), or gives an error description.
  virtual std::variant<std::unique_ptr<PendingFile>, std::string> createFile(const std::filesystem::path& path) = 0;
};

// The real file system. createFile makes a temporary file (owner-only permissions) beside path;
// commit writes it in full, flushes it to the device and renames it over path.
class DiskFileSystem final : public FileSystem {
 public:
  FileContents readFile(const std::filesystem::path& path) override;
  std::variant<std::unique_ptr<PendingFile>, std::string> createFile(const std::filesystem::path& path) override;
};

}  // namespace kivo
