// KIVOApplicationRequest: the user's application for a promotion (a quiz answer, a form, a
// voucher claim), turned into the form fields of the console's promotion POST. A value type; not
// thread-safe. params and userdata read the current KIVOUser and reload its stored fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "kivo/export.h"

namespace kivo {

struct KIVO_API KIVOApplicationRequest {
  // initWithItemID:mediaID:userInfoMask: answer and quizCorrection absent.
  KIVOApplicationRequest(std::optional<std::string> itemID, std::optional<std::string> mediaID,
                         int64_t userInfoMask);

  // The form fields, all texts: "session" (always), "promo_id", "media_id", "is_correct" = "1"
  // (only for a correct quiz answer), "answer", "userdata" (each only when there is a value).
  nlohmann::json params() const;
  // Reloads the current user's stored fields (unsaved edits are discarded), then the compact JSON
  // of the fields userInfoMask names and the user has; nothing when there is none or when the
  // text cannot be serialised (logged). Debug lines when the manager's debugMode is on.
  std::optional<std::string> userdata() const;

  friend bool operator==(const KIVOApplicationRequest&, const KIVOApplicationRequest&) = default;

  std::optional<std::string> itemID;  // sent as "promo_id"
  std::optional<std::string> mediaID;
  std::optional<std::string> answer;
  std::optional<bool> quizCorrection;  // absent when not a quiz
  int64_t userInfoMask = 0;            // KIVOUserInfoMask bits of the required fields
};

}  // namespace kivo
