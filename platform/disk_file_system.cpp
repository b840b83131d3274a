#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/file_system.h"

namespace kivo {
namespace {

std::string describeErrno(int error) { return std::error_code(error, std::generic_category()).message(); }

// Writes all of bytes to fd, or gives the error.
std::optional<std::string> writeAll(int fd, std::span<const uint8_t> bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return describeErrno(n < 0 ? errno : EIO);
    done += size_t(n);
  }
  return std::nullopt;
}

// Temporary files of path's new versions are named PREFIX + "PID-XXXXXX".
std::string temporaryPrefix(const std::filesystem::path& path) { return "." + path.filename().string() + ".tmp-"; }

// The mode a newly created file gets: 0666 less the process umask (read without changing it).
mode_t newFileMode() {
  static const mode_t mode = [] {
    mode_t mask = 0022;
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
      char line[128];
      while (std::fgets(line, sizeof line, status)) {
        unsigned value = 0;
        if (std::sscanf(line, "Umask: %o", &value) == 1) mask = mode_t(value);
      }
      std::fclose(status);
    }
    return mode_t(0666 & ~mask);
  }();
  return mode;
}

// A temporary file beside its target, renamed over the target by commit.
class DiskPendingFile final : public PendingFile {
 public:
  DiskPendingFile(std::filesystem::path target, std::string temporary, int fd)
      : target_(std::move(target)), temporary_(std::move(temporary)), fd_(fd) {}
  ~DiskPendingFile() override {
    closeFile();
    if (!committed_) ::unlink(temporary_.c_str());
  }
  DiskPendingFile(const DiskPendingFile&) = delete;
  DiskPendingFile& operator=(const DiskPendingFile&) = delete;

  std::optional<std::string> append(std::span<const uint8_t> bytes) override {
    if (fd_ < 0) return "already finished";
    return writeAll(fd_, bytes);
  }

  std::optional<std::string> commit(std::span<const uint8_t> bytes) override {
    if (fd_ < 0) return "already finished";
    if (auto error = writeAll(fd_, bytes)) return error;
    if (::fchmod(fd_, newFileMode()) != 0) return describeErrno(errno);
    if (::fsync(fd_) != 0) return describeErrno(errno);
    if (!closeFile()) return describeErrno(errno);
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) return describeErrno(errno);
    committed_ = true;
    syncDirectory();
    return std::nullopt;
  }

 private:
  bool closeFile() {
    if (fd_ < 0) return true;
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

  // Makes the rename itself durable; the file is already in place, so failures are not reported.
  void syncDirectory() const {
    const std::filesystem::path parent = target_.parent_path();
    const int dir = ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    ::fsync(dir);
    ::close(dir);
  }

  std::filesystem::path target_;
  std::string temporary_;
  int fd_;
  bool committed_ = false;
};

}  // namespace

FileContents DiskFileSystem::readFile(const std::filesystem::path& path) {
  FileContents contents;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    contents.status = FileContents::Status::kOpenFailed;
    contents.missing = errno == ENOENT || errno == ENOTDIR;
    contents.error = describeErrno(errno);
    return contents;
  }
  // Sized from fstat so that a regular file arrives in one read; grows if the file does.
  struct stat info {};
  const size_t expected = ::fstat(fd, &info) == 0 && info.st_size > 0 ? size_t(info.st_size) : 0;
  Bytes& bytes = contents.bytes;
  bytes.resize(expected + 1);
  size_t used = 0;
  for (;;) {
    if (used == bytes.size()) bytes.resize(bytes.size() * 2);
    const ssize_t n = ::read(fd, bytes.data() + used, bytes.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      contents.status = FileContents::Status::kReadFailed;
      contents.error = describeErrno(errno);
      used = 0;
      break;
    }
    if (n == 0) break;
    used += size_t(n);
  }
  bytes.resize(used);
  ::close(fd);
  return contents;
}

std::variant<std::unique_ptr<PendingFile>, std::string> DiskFileSystem::createFile(const std::filesystem::path& path) {
  const std::filesystem::path parent = path.parent_path();
  std::string temporary = ((parent.empty() ? std::filesystem::path(".") : parent) /
                           (temporaryPrefix(path) + std::to_string(::getpid()) + "-XXXXXX"))
                              .string();
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return describeErrno(errno);
  return std::make_unique<DiskPendingFile>(path, std::move(temporary), fd);
}

std::optional<std::string> DiskFileSystem::appendToFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return describeErrno(errno);
  auto error = writeAll(fd, bytes);
  if (::close(fd) != 0 && !error) error = describeErrno(errno);
  return error;
}

std::optional<std::string> DiskFileSystem::renameFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return describeErrno(errno);
  return std::nullopt;
}

std::optional<std::string> DiskFileSystem::makeFolder(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return ec.message();
  return std::nullopt;
}

void DiskFileSystem::removeAbandonedVersions(const std::filesystem::path& path) {
  const std::string prefix = temporaryPrefix(path);
  const std::filesystem::path parent = path.parent_path().empty() ? "." : path.parent_path();
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(parent, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    char* end = nullptr;
    const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
    if (pid <= 0 || *end != '-') continue;
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH) std::filesystem::remove(entry.path(), ec);
  }
}

}  // namespace kivo
