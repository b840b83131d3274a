// Fault switches for tests, per endpoint, off unless given on the command line:
//   --fault ENDPOINT:status=CODE   answer CODE with a JSON error instead of running the endpoint
//   --fault ENDPOINT:delay=MS      wait MS milliseconds before answering
//   --fault ENDPOINT:drop          close the connection after the status line, before the body
//   --fault ENDPOINT:malformed     answer 200 with a body that is not JSON
// ENDPOINT is one of auth, download, update_afp, query, promotion, bookmark, state, activity.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace kivo::console {

struct Fault {
  std::optional<int> status;
  int delayMs = 0;
  bool drop = false;
  bool malformed = false;
};

class Faults {
 public:
  // Adds one switch; false (with *error set) for an unknown endpoint or kind.
  bool add(const std::string& text, std::string* error);
  // The switches of an endpoint, or nothing.
  const Fault* find(const std::string& endpoint) const;
  bool empty() const { return faults_.empty(); }

 private:
  std::map<std::string, Fault> faults_;
};

}  // namespace kivo::console
