#include "platform/user_defaults.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "kivo/data_directory.h"
#include "kivo/format.h"
#include "kivo/log.h"
#include "platform/user_defaults_codec.h"

namespace kivo {
namespace {

std::string errnoText(int error) { return std::strerror(error); }

bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes text to path through a temporary file in the same directory; false with errno's text.
bool replaceFile(const std::filesystem::path& path, const std::string& text, std::string& error) {
  std::filesystem::path directory = path.parent_path();
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  std::filesystem::path temporary = path;
  temporary += ".tmp-" + std::to_string(::getpid());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = errnoText(errno);
    return false;
  }
  bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
  int savedErrno = errno;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    savedErrno = errno;
  }
  if (!ok) {
    error = errnoText(savedErrno ? savedErrno : EIO);
    ::unlink(temporary.c_str());
    return false;
  }
  int dir = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

// Removes temporary files left by processes that died while writing.
void removeStaleTemporaries(const std::filesystem::path& path) {
  std::error_code ec;
  const std::string prefix = path.filename().string() + ".tmp-";
  for (const auto& entry : std::filesystem::directory_iterator(path.parent_path(), ec)) {
    std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    char* end = nullptr;
    long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    if (pid == ::getpid() || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH))
      std::filesystem::remove(entry.path(), ec);
  }
}

struct StandardSlot {
  std::mutex mutex;
  std::shared_ptr<UserDefaults> store;  // guarded by mutex
};

StandardSlot& standardSlot() {
  static auto* instance = new StandardSlot;
  return *instance;
}

}  // namespace

std::shared_ptr<UserDefaults> UserDefaults::standard() {
  std::filesystem::path file = dataDirectory() / kFileName;
  std::lock_guard lock(standardSlot().mutex);
  if (!standardSlot().store || standardSlot().store->file() != file)
    standardSlot().store = std::make_shared<UserDefaults>(file);
  return standardSlot().store;
}

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) { load(); }

void UserDefaults::load() {
  removeStaleTemporaries(file_);
  std::ifstream in(file_, std::ios::binary);
  if (!in) {
    std::error_code ec;
    if (!std::filesystem::exists(file_, ec) && !ec) return;  // no store yet
  }
  std::string error;
  std::optional<PropertyDictionary> values;
  if (in) {
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
      error = "read error";
    else
      values = decodeUserDefaults(text.str(), error);
  } else {
    error = errnoText(errno ? errno : EACCES);
  }
  if (values) {
    values_ = std::move(*values);
    return;
  }
  std::filesystem::path aside = file_;
  aside += ".corrupt-" + std::to_string(std::time(nullptr));
  std::error_code ec;
  std::filesystem::rename(file_, aside, ec);
  if (ec)
    logLine(format("[ERROR] KIVOUserDefaults: cannot read %@ (%@) nor move it aside (%@); starting empty",
                   file_, error, ec.message()));
  else
    logLine(format("[ERROR] KIVOUserDefaults: cannot read %@ (%@); moved it to %@ and starting empty", file_,
                   error, aside));
}

std::optional<PropertyList> UserDefaults::object(std::string_view key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

void UserDefaults::set(const std::string& key, PropertyList value) {
  update(key, [&](const std::optional<PropertyList>&) { return std::optional<PropertyList>(std::move(value)); });
}

void UserDefaults::remove(const std::string& key) {
  update(key, [](const std::optional<PropertyList>&) { return std::optional<PropertyList>(); });
}

std::optional<PropertyList> UserDefaults::update(const std::string& key, const Change& change) {
  std::optional<PropertyList> stored;
  uint64_t generation;
  std::string text;
  {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    std::optional<PropertyList> current;
    if (it != values_.end()) current = it->second;
    stored = change(current);
    if (stored == current) return stored;
    if (stored)
      values_.insert_or_assign(key, *stored);
    else
      values_.erase(key);
    generation = ++generation_;
    text = encodeUserDefaults(values_);
  }
  persist(generation, text);
  return stored;
}

bool UserDefaults::persist(uint64_t generation, const std::string& text) {
  std::lock_guard lock(fileMutex_);
  if (written_ >= generation) return true;  // a newer state is already on disk
  std::string error;
  if (!replaceFile(file_, text, error)) {
    logLine(format("[ERROR] KIVOUserDefaults: failed to write %@: %@", file_, error));
    return false;
  }
  written_ = generation;
  return true;
}

bool UserDefaults::synchronize() {
  uint64_t generation;
  std::string text;
  {
    std::lock_guard lock(mutex_);
    generation = generation_;
    text = encodeUserDefaults(values_);
  }
  {
    std::lock_guard lock(fileMutex_);
    if (written_ >= generation) return true;
  }
  return persist(generation, text);
}

}  // namespace kivo
