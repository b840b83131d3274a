// KIVOLogItem: one activity report.
#include <cmath>
#include <cstdio>

#include "kivo/format.h"
#include "kivo/log.h"
#include "kivo/log_store.h"
#include "network/console_endpoints.h"
#include "platform/clock.h"

namespace kivo {

KIVOLogItem::KIVOLogItem(const nlohmann::json& media) {
  initializeWithDictionary(media);
  created = createdFromDate(now());
}

void KIVOLogItem::initializeWithDictionary(const nlohmann::json& media) {
  mediaID.reset();
  mediaIDIsNumber = false;
  itemID.reset();
  const nlohmann::json* result = console::member(media, "result");
  if (result) {
    if (const auto* id = console::member(*result, "_id")) {
      mediaID = console::identifierValue(*id);
      mediaIDIsNumber = mediaID && id->is_number();
    }
  }
  const nlohmann::json* items = result ? console::member(*result, "items") : nullptr;
  if (!items || !items->is_array()) {
    logLine("WARN: there's no item for logging");
    return;
  }
  if (items->empty()) {
    itemID = std::string(kUnknownItemID);
  } else if (const auto* id = console::member(items->front(), "_id")) {
    itemID = console::identifierValue(*id);
  }
}

void KIVOLogItem::setUserDataWithUserName(const std::optional<std::string>& name) {
  if (name) {
    userData = nlohmann::json{{"name", *name}};
  } else {
    userData.reset();
  }
}

FormParameters KIVOLogItem::formParameters() const {
  FormParameters parameters;
  if (mediaID) parameters.emplace_back("media_id", *mediaID);
  if (itemID) parameters.emplace_back("item_id", *itemID);
  parameters.emplace_back("created", created);
  if (location) {
    char text[96];
    std::snprintf(text, sizeof text, "%1.8f, %1.8f", location->longitude, location->latitude);
    parameters.emplace_back("loc", text);
  }
  if (userData) {
    parameters.emplace_back("userdata", userData->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  return parameters;
}

std::string KIVOLogItem::description() const {
  nlohmann::json fields = nlohmann::json::object();
  for (const auto& [name, value] : formParameters()) fields[name] = value;
  return format("{ KIVOLogItem %@ %@ }", key, fields.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

int64_t KIVOLogItem::createdFromDate(Date date) {
  using namespace std::chrono;
  const auto since = date.time_since_epoch();
  auto whole = duration_cast<seconds>(since);
  if (whole < since) whole += seconds(1);  // duration_cast truncates toward zero
  return whole.count();
}

}  // namespace kivo
