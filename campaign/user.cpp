#include "kivo/user.h"

#include "kivo/format.h"
#include "kivo/log.h"
#include "platform/user_defaults.h"
#include "support/settings.h"

namespace kivo {
namespace {

// The "dcuser" key of the one date field; the text fields are named where they are stored.
constexpr const char* kBirthdayKey = "birthday";

bool filled(const std::optional<std::string>& text) { return text && !text->empty(); }

}  // namespace

KIVOUser& KIVOUser::currentUser() {
  static auto* instance = new KIVOUser;  // lives for the process
  return *instance;
}

void KIVOUser::save() const {
  PropertyDictionary record;
  {
    MutexLock lock(mutex_);
    auto put = [&](const char* key, const std::optional<std::string>& value) {
      if (value) record.emplace(key, *value);
    };
    put("dcuname", name_);
    put("dcuemail", email_);
    put("dcumobile", mobile_);
    put("dcuaddress", address_);
    put("gender", gender_);
    if (birthday_) record.emplace(kBirthdayKey, *birthday_);
  }
  UserDefaults::standard()->set(std::string(settings::kUserKey), std::move(record));
}

void KIVOUser::load() {
  auto stored = UserDefaults::standard()->object(settings::kUserKey);
  auto text = [&](const char* key) -> std::optional<std::string> {
    const PropertyList* value = stored ? stored->find(key) : nullptr;
    if (value && value->get<std::string>()) return *value->get<std::string>();
    return std::nullopt;
  };
  const PropertyList* birthday = stored ? stored->find(kBirthdayKey) : nullptr;
  MutexLock lock(mutex_);
  name_ = text("dcuname");
  email_ = text("dcuemail");
  mobile_ = text("dcumobile");
  address_ = text("dcuaddress");
  gender_ = text("gender");
  birthday_ = birthday && birthday->get<PropertyDate>() ? std::optional<Date>(*birthday->get<PropertyDate>())
                                                        : std::nullopt;
}

std::string KIVOUser::sessionID() {
  std::call_once(sessionOnce_, [this] { sessionID_ = settings::sessionIdentifier(); });
  return sessionID_;
}

std::optional<std::string> KIVOUser::getSessionID() const { return settings::storedSessionId(); }

std::string KIVOUser::getTID() const { return settings::installationID(); }

void KIVOUser::saveDict(PropertyList value, const std::string& key) {
  settings::saveUserDefaultEntry(key, std::move(value));
}

std::optional<PropertyList> KIVOUser::loadDict(const std::optional<std::string>& key) const {
  return settings::loadUserDefaultEntry(key);
}

bool KIVOUser::checkRequiredFields(int64_t mask) const {
  MutexLock lock(mutex_);
  if ((mask & KIVOUserInfoMaskAddress) && !filled(address_)) return false;
  if ((mask & KIVOUserInfoMaskBirth) && !birthday_) return false;
  if ((mask & KIVOUserInfoMaskEmail) && !filled(email_)) return false;
  if ((mask & KIVOUserInfoMaskPhone) && !filled(mobile_)) return false;
  if ((mask & KIVOUserInfoMaskName) && !filled(name_)) return false;
  return true;
}

#define KIVO_USER_ACCESSORS(Type, getter, setter, member) \
  std::optional<Type> KIVOUser::getter() const {          \
    MutexLock lock(mutex_);                               \
    return member;                                        \
  }                                                       \
  void KIVOUser::setter(std::optional<Type> value) {      \
    MutexLock lock(mutex_);                               \
    member = std::move(value);                            \
  }

KIVO_USER_ACCESSORS(std::string, name, setName, name_)
KIVO_USER_ACCESSORS(std::string, email, setEmail, email_)
KIVO_USER_ACCESSORS(KIVOUser::Date, birthday, setBirthday, birthday_)
KIVO_USER_ACCESSORS(std::string, mobile, setMobile, mobile_)
KIVO_USER_ACCESSORS(std::string, address, setAddress, address_)
KIVO_USER_ACCESSORS(std::string, gender, setGender, gender_)

#undef KIVO_USER_ACCESSORS

int64_t KIVOUserInfoMaskFromRequiredArray(const nlohmann::json& list) {
  if (debugLinesEnabled()) logLine(format("Creating mask from array: %@", list));
  struct Row {
    const char* name;
    int64_t bit;
    const char* line;
  };
  static constexpr Row kRows[] = {
      {"name", KIVOUserInfoMaskName, "Appending name mask"},
      {"phone", KIVOUserInfoMaskPhone, "Appending mobile mask"},
      {"address", KIVOUserInfoMaskAddress, "Appending address mask"},
      {"email", KIVOUserInfoMaskEmail, "Appending email mask"},
      {"birth", KIVOUserInfoMaskBirth, "Appending birthday mask"},
      {"gender", KIVOUserInfoMaskGender, "Appending gender mask"},
  };
  int64_t mask = 0;
  if (!list.is_array()) return mask;
  for (const auto& element : list) {
    if (!element.is_string()) continue;
    for (const auto& row : kRows)
      if (element.get_ref<const std::string&>() == row.name) {
        mask |= row.bit;
        logDebugLine(row.line);
        break;
      }
  }
  return mask;
}

}  // namespace kivo
