#include "server/faults.h"

#include <charconv>

namespace kivo::console {
namespace {

bool parseInt(const std::string& s, int lo, int hi, int* out) {
  int v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

bool Faults::add(const std::string& text, std::string* error) {
  static const char* const endpoints[] = {"auth",      "download", "update_afp", "query",
                                          "promotion", "bookmark", "state",      "activity"};
  const size_t colon = text.find(':');
  const std::string endpoint = text.substr(0, colon);
  bool known = false;
  for (const char* e : endpoints) known = known || endpoint == e;
  if (!known || colon == std::string::npos) {
    *error = "fault \"" + text + "\": expected ENDPOINT:KIND with a known endpoint";
    return false;
  }
  const std::string kind = text.substr(colon + 1);
  Fault& f = faults_[endpoint];
  int value = 0;
  if (kind == "drop") {
    f.drop = true;
  } else if (kind == "malformed") {
    f.malformed = true;
  } else if (kind.rfind("status=", 0) == 0 && parseInt(kind.substr(7), 100, 599, &value)) {
    f.status = value;
  } else if (kind.rfind("delay=", 0) == 0 && parseInt(kind.substr(6), 0, 600000, &value)) {
    f.delayMs = value;
  } else {
    *error = "fault \"" + text + "\": kind must be status=CODE, delay=MS, drop or malformed";
    return false;
  }
  return true;
}

const Fault* Faults::find(const std::string& endpoint) const {
  auto it = faults_.find(endpoint);
  return it == faults_.end() ? nullptr : &it->second;
}

}  // namespace kivo::console
