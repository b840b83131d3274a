// Collects the library's log lines while in scope, restoring the default sink afterwards.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace kivo::test {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;
  bool contains(const std::string& line) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace kivo::test
