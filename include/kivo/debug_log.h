// The optional debug log file. While no path is set, KIVODebugLog does nothing at all. The first
// entry written in a run replaces any file left by an earlier run in one step; later entries
// append. Each entry is one "<local ISO time stamp>: <message>\n", written whole under one lock,
// so concurrent entries never interleave; the log sink is called outside it. Thread-safe.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kivo/export.h"
#include "kivo/format.h"
#include "kivo/thread_annotations.h"

namespace kivo {

class FileSystem;

class KIVO_API KIVODebugLogger {
 public:
  static KIVODebugLogger& sharedLogger();

  // A logger of its own on the disk, or on files (tests: a new instance behaves as a new run of
  // the process).
  KIVODebugLogger();
  explicit KIVODebugLogger(std::shared_ptr<FileSystem> files);
  ~KIVODebugLogger();
  KIVODebugLogger(const KIVODebugLogger&) = delete;
  KIVODebugLogger& operator=(const KIVODebugLogger&) = delete;

  std::optional<std::string> path() const;
  void setPath(std::optional<std::string> path);
  // Also write every message to the log sink (the manager sets it from its debugMode).
  bool dumpNSLog() const;
  void setDumpNSLog(bool dump);

  // Appends one entry (nothing without a path). Write failures lose the entry silently; when the
  // first entry cannot replace the old file it logs "Failed to remove old log file: %@" and is
  // appended to the old file.
  void put(std::string_view message);

  // The current local time as "yyyy-MM-dd'T'HH:mm:ssZZZZZ" (e.g. 2024-05-01T09:30:00+09:00, "Z" at
  // zero offset).
  static std::string datetimeString();

 private:
  const std::shared_ptr<FileSystem> files_;
  mutable Mutex mutex_;
  std::optional<std::string> path_ KIVO_GUARDED_BY(mutex_);
  bool dumpNSLog_ KIVO_GUARDED_BY(mutex_) = false;
  bool firstLoad_ KIVO_GUARDED_BY(mutex_) = true;
};

// Formats (kivo/format.h: %@ for strings and objects) and puts the message on the shared logger
// when it has a path; otherwise formats nothing.
template <class... Args>
void KIVODebugLog(std::string_view format, const Args&... args) {
  auto& logger = KIVODebugLogger::sharedLogger();
  if (logger.path()) logger.put(kivo::format(format, args...));
}

}  // namespace kivo
