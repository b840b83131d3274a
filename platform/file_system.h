// The seam through which the library reads and writes files: the disk, or (in tests and fuzzing)
// memory and faults. A file is read whole and replaced whole: a new version stays invisible until it
// is committed, so a failed or abandoned write leaves the file as it was. Logs are appended to.
// Implementations are thread-safe.
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
  bool missing = false;  // kOpenFailed because no file (or no folder) is there
  Bytes bytes;        // kRead: the content
  std::string error;  // otherwise: a description, e.g. "No such file or directory"
};

// The next version of one file, built by appends. Destroying it without a successful commit leaves
// the file as it was. One thread at a time.
class PendingFile {
 public:
  virtual ~PendingFile() = default;
  // Adds bytes to the new version, still invisible. Returns nothing on success, else an error
  // description (the version is then unusable).
  virtual std::optional<std::string> append(std::span<const uint8_t> bytes) = 0;
  // Adds bytes, makes the new version durable and puts it in place of the file in one step.
  // Returns nothing on success, else an error description; the file then holds exactly what it
  // held before. Call at most once.
  virtual std::optional<std::string> commit(std::span<const uint8_t> bytes = {}) = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual FileContents readFile(const std::filesystem::path& path) = 0;
  // Starts a new version of path (which need not exist yet), or gives an error description.
  virtual std::variant<std::unique_ptr<PendingFile>, std::string> createFile(const std::filesystem::path& path) = 0;
  // Appends bytes at the end of path, creating it (mode 0644 less the umask) when missing. Returns
  // nothing on success, else an error description.
  virtual std::optional<std::string> appendToFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) = 0;
  // Moves a file; an existing file at to is replaced. Returns nothing on success, else an error.
  virtual std::optional<std::string> renameFile(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // Makes a folder and its missing parents. Returns nothing on success, else an error.
  virtual std::optional<std::string> makeFolder(const std::filesystem::path& path) = 0;
  // Removes the new versions of path that processes no longer running left unfinished.
  virtual void removeAbandonedVersions(const std::filesystem::path& path) = 0;
};

// The real file system. createFile makes a uniquely named temporary file beside path
// (".NAME.tmp-PID-XXXXXX"); commit flushes it to the device, gives it the permissions of a new file
// (0666 less the umask), renames it over path and flushes the directory. Stateless: share freely.
class DiskFileSystem final : public FileSystem {
 public:
  FileContents readFile(const std::filesystem::path& path) override;
  std::variant<std::unique_ptr<PendingFile>, std::string> createFile(const std::filesystem::path& path) override;
  std::optional<std::string> appendToFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) override;
  std::optional<std::string> renameFile(const std::filesystem::path& from, const std::filesystem::path& to) override;
  std::optional<std::string> makeFolder(const std::filesystem::path& path) override;
  void removeAbandonedVersions(const std::filesystem::path& path) override;
};

}  // namespace kivo
