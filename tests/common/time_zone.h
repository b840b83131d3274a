// Sets the process's local time zone (TZ, POSIX form such as "JST-9") for the scope.
// Not thread-safe: use while no other thread reads the local time.
#pragma once

#include <time.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace kivo::test {

class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (previous_)
      ::setenv("TZ", previous_->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> previous_;
};

// Zones east and west of UTC, a half-hour one and UTC itself.
inline constexpr const char* kTestZones[] = {"JST-9", "PST8", "IST-5:30", "UTC0"};

}  // namespace kivo::test
