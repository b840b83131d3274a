#include "support/settings.h"

#include "kivo/dates.h"
#include "platform/clock.h"
#include "platform/user_defaults.h"

namespace kivo::settings {
namespace {

const std::string kUserDefault(kUserDefaultKey);

// The stored "DOUserDefault" dictionary; a value of another type counts as empty.
PropertyDictionary dictionaryOf(const std::optional<PropertyList>& value) {
  if (value && value->get<PropertyDictionary>()) return *value->get<PropertyDictionary>();
  return {};
}

}  // namespace

void saveUserDefaultEntry(const std::string& key, PropertyList value) {
  UserDefaults::standard()->update(kUserDefault, [&](const std::optional<PropertyList>& current) {
    PropertyDictionary dictionary = dictionaryOf(current);
    dictionary.insert_or_assign(key, std::move(value));
    return std::optional<PropertyList>(std::move(dictionary));
  });
}

std::optional<PropertyList> loadUserDefaultEntry(const std::optional<std::string>& key) {
  if (!key) return std::nullopt;
  auto stored = UserDefaults::standard()->update(kUserDefault, [](const std::optional<PropertyList>& current) {
    return current ? current : std::optional<PropertyList>(PropertyDictionary{});
  });
  const PropertyList* entry = stored ? stored->find(*key) : nullptr;
  if (!entry) return std::nullopt;
  return *entry;
}

std::optional<std::string> storedSessionId() {
  auto value = loadUserDefaultEntry("sessionId");
  if (value && value->get<std::string>()) return *value->get<std::string>();
  return std::nullopt;
}

std::string installationID() {
  std::string made;
  auto stored = UserDefaults::standard()->update(kUserDefault, [&](const std::optional<PropertyList>& current) {
    PropertyDictionary dictionary = dictionaryOf(current);
    auto tid = dictionary.find("tid");
    if (tid != dictionary.end() && tid->second.get<std::string>()) return current;
    made = "I" + formatDate(kivo::now(), "yyyyMMddHHmmssSSS", DateZone::Local);
    dictionary.insert_or_assign("tid", made);
    return std::optional<PropertyList>(std::move(dictionary));
  });
  const PropertyList* tid = stored ? stored->find("tid") : nullptr;
  if (tid && tid->get<std::string>()) return *tid->get<std::string>();
  return made;  // unreachable unless the store lost the write: the value just made
}

std::string sessionIdentifier() {
  auto session = storedSessionId();
  if (session && !session->empty()) return *session;
  return installationID();
}

}  // namespace kivo::settings
