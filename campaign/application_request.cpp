#include "kivo/application_request.h"

#include "campaign/user_data.h"
#include "kivo/format.h"
#include "kivo/log.h"
#include "kivo/user.h"

namespace kivo {

KIVOApplicationRequest::KIVOApplicationRequest(std::optional<std::string> item, std::optional<std::string> media,
                                               int64_t mask)
    : itemID(std::move(item)), mediaID(std::move(media)), userInfoMask(mask) {}

nlohmann::json KIVOApplicationRequest::params() const {
  nlohmann::json fields = nlohmann::json::object();
  fields["session"] = KIVOUser::currentUser().sessionID();
  if (itemID) fields["promo_id"] = *itemID;
  if (mediaID) fields["media_id"] = *mediaID;
  if (quizCorrection.value_or(false)) fields["is_correct"] = "1";
  if (answer) fields["answer"] = *answer;
  if (auto text = userdata()) fields["userdata"] = std::move(*text);
  return fields;
}

std::optional<std::string> KIVOApplicationRequest::userdata() const {
  KIVOUser& user = KIVOUser::currentUser();
  user.load();
  if (debugLinesEnabled()) logLine(format("Creating userdata with mask %ld", userInfoMask));
  nlohmann::json dictionary = campaign::userDataDictionary(user, userInfoMask);
  if (dictionary.empty()) {
    logDebugLine("No user data. skip.");
    return std::nullopt;
  }
  // A text that is not UTF-8 prints as U+FFFD in these lines.
  auto printable = [&] { return dictionary.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); };
  if (debugLinesEnabled()) logLine(format("Userdata Dictionary: %@", printable()));
  std::string error;
  auto text = campaign::serializeUserData(dictionary, &error);
  if (!text) logLine(format("Failed to create json\n- error: %@\n- source: %@", error, printable()));
  return text;
}

}  // namespace kivo
