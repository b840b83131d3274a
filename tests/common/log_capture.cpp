#include "common/log_capture.h"

#include <algorithm>

#include "kivo/log.h"

namespace kivo::test {

LogCapture::LogCapture() {
  setLogSink([this](std::string_view line) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
  });
}

LogCapture::~LogCapture() { setLogSink({}); }

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool LogCapture::contains(const std::string& line) const {
  std::lock_guard lock(mutex_);
  return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}

}  // namespace kivo::test
