#include "kivo/debug_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "kivo/dates.h"
#include "kivo/log.h"
#include "platform/clock.h"

namespace kivo {

KIVODebugLogger& KIVODebugLogger::sharedLogger() {
  static auto* instance = new KIVODebugLogger;  // lives for the process
  return *instance;
}

std::optional<std::string> KIVODebugLogger::path() const {
  std::lock_guard lock(mutex_);
  return path_;
}

void KIVODebugLogger::setPath(std::optional<std::string> path) {
  std::lock_guard lock(mutex_);
  path_ = std::move(path);
}

bool KIVODebugLogger::dumpNSLog() const {
  std::lock_guard lock(mutex_);
  return dumpNSLog_;
}

void KIVODebugLogger::setDumpNSLog(bool dump) {
  std::lock_guard lock(mutex_);
  dumpNSLog_ = dump;
}

std::string KIVODebugLogger::datetimeString() {
  return formatDate(kivo::now(), "yyyy-MM-dd'T'HH:mm:ssZZZZZ", DateZone::Local);
}

void KIVODebugLogger::put(std::string_view message) {
  std::lock_guard lock(mutex_);
  if (!path_) return;
  if (firstLoad_) {
    std::error_code ec;
    if (std::filesystem::exists(*path_, ec) && !std::filesystem::remove(*path_, ec))
      logLine(format("Failed to remove old log file: %@", ec.message()));
    firstLoad_ = false;
  }
  if (dumpNSLog_) logLine(message);
  std::string entry = format("%@: %@\n", datetimeString(), message);
  int fd = ::open(path_->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  for (size_t done = 0; done < entry.size();) {
    ssize_t n = ::write(fd, entry.data() + done, entry.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

}  // namespace kivo
