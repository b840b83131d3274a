// A location fix as the library passes it around: a plain value.
#pragma once

#include <chrono>

namespace kivo {

struct Location {
  double latitude = 0;            // degrees
  double longitude = 0;           // degrees
  double horizontalAccuracy = 0;  // metres; negative or NaN marks an invalid fix
  std::chrono::system_clock::time_point timestamp{};
  double speed = -1;   // metres per second; negative when unknown
  double course = -1;  // degrees from north; negative when unknown

  friend bool operator==(const Location&, const Location&) = default;
};

}  // namespace kivo
