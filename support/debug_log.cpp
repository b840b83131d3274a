#include "kivo/debug_log.h"

#include <span>
#include <variant>

#include "kivo/dates.h"
#include "kivo/log.h"
#include "platform/clock.h"
#include "platform/file_system.h"

namespace kivo {

KIVODebugLogger::KIVODebugLogger() : KIVODebugLogger(std::make_shared<DiskFileSystem>()) {}
KIVODebugLogger::KIVODebugLogger(std::shared_ptr<FileSystem> files) : files_(std::move(files)) {}
KIVODebugLogger::~KIVODebugLogger() = default;

KIVODebugLogger& KIVODebugLogger::sharedLogger() {
  static auto* instance = new KIVODebugLogger;  // lives for the process
  return *instance;
}

std::optional<std::string> KIVODebugLogger::path() const {
  MutexLock lock(mutex_);
  return path_;
}

void KIVODebugLogger::setPath(std::optional<std::string> path) {
  MutexLock lock(mutex_);
  path_ = std::move(path);
}

bool KIVODebugLogger::dumpNSLog() const {
  MutexLock lock(mutex_);
  return dumpNSLog_;
}

void KIVODebugLogger::setDumpNSLog(bool dump) {
  MutexLock lock(mutex_);
  dumpNSLog_ = dump;
}

std::string KIVODebugLogger::datetimeString() {
  return formatDate(kivo::now(), "yyyy-MM-dd'T'HH:mm:ssZZZZZ", DateZone::Local);
}

void KIVODebugLogger::put(std::string_view message) {
  std::optional<std::string> replaceError;
  bool dump = false;
  {
    MutexLock lock(mutex_);
    if (!path_) return;
    dump = dumpNSLog_;
    const std::string entry = format("%@: %@\n", datetimeString(), message);
    const std::span bytes(reinterpret_cast<const uint8_t*>(entry.data()), entry.size());
    bool written = false;
    if (firstLoad_) {
      firstLoad_ = false;
      auto created = files_->createFile(*path_);
      if (auto* file = std::get_if<std::unique_ptr<PendingFile>>(&created))
        replaceError = (*file)->commit(bytes);
      else
        replaceError = std::get<std::string>(created);
      written = !replaceError;
    }
    if (!written) files_->appendToFile(*path_, bytes);
  }
  if (replaceError) logLine(format("Failed to remove old log file: %@", *replaceError));
  if (dump) logLine(message);
}

}  // namespace kivo
