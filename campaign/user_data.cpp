#include "campaign/user_data.h"

#include "kivo/campaign_values.h"

namespace kivo::campaign {

nlohmann::json userDataDictionary(const KIVOUser& user, int64_t mask) {
  nlohmann::json dictionary = nlohmann::json::object();
  auto put = [&](int64_t bit, const char* key, const std::optional<std::string>& value) {
    if ((mask & bit) && value) dictionary[key] = *value;
  };
  put(KIVOUserInfoMaskAddress, "address", user.address());
  if (auto birthday = user.birthday(); (mask & KIVOUserInfoMaskBirth) && birthday)
    dictionary["birth"] = isoFormatFromDate(*birthday);
  put(KIVOUserInfoMaskEmail, "email", user.email());
  put(KIVOUserInfoMaskGender, "gender", user.gender());
  put(KIVOUserInfoMaskPhone, "phone", user.mobile());
  put(KIVOUserInfoMaskName, "name", user.name());
  return dictionary;
}

std::optional<std::string> serializeUserData(const nlohmann::json& dictionary, std::string* error) {
  try {
    return dictionary.dump();
  } catch (const nlohmann::json::exception& e) {
    if (error) *error = e.what();
    return std::nullopt;
  }
}

}  // namespace kivo::campaign
