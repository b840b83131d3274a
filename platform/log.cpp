#include "kivo/log.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "kivo/thread_annotations.h"

namespace kivo {
namespace {

void writeToStderr(std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  std::fwrite(text.data(), 1, text.size(), stderr);
}

struct SinkSlot {
  Mutex mutex;
  std::shared_ptr<const LogSink> sink KIVO_GUARDED_BY(mutex);
};

SinkSlot& slot() {
  static auto* instance = new SinkSlot;  // lives for the process: workers may log until exit
  return *instance;
}

std::atomic<bool> debugLines{false};

}  // namespace

void setLogSink(LogSink sink) {
  auto next = sink ? std::make_shared<const LogSink>(std::move(sink)) : nullptr;
  MutexLock lock(slot().mutex);
  slot().sink = std::move(next);
}

void logLine(std::string_view line) {
  std::shared_ptr<const LogSink> sink;
  {
    MutexLock lock(slot().mutex);
    sink = slot().sink;
  }
  if (sink)
    (*sink)(line);
  else
    writeToStderr(line);
}

void setDebugLinesEnabled(bool enabled) { debugLines.store(enabled, std::memory_order_relaxed); }

bool debugLinesEnabled() { return debugLines.load(std::memory_order_relaxed); }

void logDebugLine(std::string_view line) {
  if (debugLinesEnabled()) logLine(line);
}

}  // namespace kivo
