#include "kivo/user_default.h"

#include "support/settings.h"

namespace kivo {

DOUserDefault::DOUserDefault() : initialSessionId_(sessionId()) {}

std::string DOUserDefault::sessionId() const { return settings::sessionIdentifier(); }

std::optional<std::string> DOUserDefault::getSessionId() const { return settings::storedSessionId(); }

std::string DOUserDefault::getTID() const { return settings::installationID(); }

void DOUserDefault::saveDict(PropertyList value, const std::string& key) {
  settings::saveUserDefaultEntry(key, std::move(value));
}

std::optional<PropertyList> DOUserDefault::loadDict(const std::optional<std::string>& key) const {
  return settings::loadUserDefaultEntry(key);
}

}  // namespace kivo
