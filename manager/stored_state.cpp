// Settings access for the manager.
#include "manager/stored_state.h"

#include "platform/user_defaults.h"

namespace kivo::manager {

std::optional<std::string> storedText(std::string_view key) {
  const auto value = UserDefaults::standard()->object(key);
  if (!value) return std::nullopt;
  const auto* text = value->get<std::string>();
  if (!text) return std::nullopt;
  return *text;
}

void storeText(std::string_view key, const std::string& value) {
  UserDefaults::standard()->set(std::string(key), value);
}

void removeStored(std::string_view key) { UserDefaults::standard()->remove(std::string(key)); }

}  // namespace kivo::manager
