// The file form of the waiting activity reports.
#include "activitylog/pending_file.h"

#include <cmath>

#include "network/console_endpoints.h"

namespace kivo::activity {
namespace {

constexpr int kVersion = 1;

nlohmann::json encodeLocation(const Location& location) {
  const auto finiteOrNull = [](double value) { return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(); };
  return {{"latitude", finiteOrNull(location.latitude)},
          {"longitude", finiteOrNull(location.longitude)},
          {"accuracy", finiteOrNull(location.horizontalAccuracy)},
          {"speed", finiteOrNull(location.speed)},
          {"course", finiteOrNull(location.course)},
          {"timestamp_ms", std::chrono::duration_cast<std::chrono::milliseconds>(location.timestamp.time_since_epoch())
                               .count()}};
}

double numberOr(const nlohmann::json& object, const char* key, double fallback) {
  const auto* value = console::member(object, key);
  return value && value->is_number() ? value->get<double>() : fallback;
}

std::optional<Location> decodeLocation(const nlohmann::json& object) {
  if (!object.is_object()) return std::nullopt;
  Location location;
  location.latitude = numberOr(object, "latitude", NAN);
  location.longitude = numberOr(object, "longitude", NAN);
  location.horizontalAccuracy = numberOr(object, "accuracy", NAN);
  location.speed = numberOr(object, "speed", -1);
  location.course = numberOr(object, "course", -1);
  if (const auto* stamp = console::member(object, "timestamp_ms")) {
    location.timestamp = Date(std::chrono::milliseconds(console::integerValue(*stamp)));
  }
  return location;
}

}  // namespace

Bytes encodePending(const std::vector<KIVOLogItem>& items) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& item : items) {
    if (!item.mediaID) continue;
    nlohmann::json entry;
    if (item.mediaIDIsNumber) {
      entry["media_id"] = nlohmann::json::parse(*item.mediaID, nullptr, false);
    } else {
      entry["media_id"] = *item.mediaID;
    }
    if (item.itemID) entry["item_id"] = *item.itemID;
    entry["created"] = item.created;
    if (item.location) entry["location"] = encodeLocation(*item.location);
    list.push_back(std::move(entry));
  }
  const std::string text = nlohmann::json{{"version", kVersion}, {"items", std::move(list)}}.dump(
      -1, ' ', false, nlohmann::json::error_handler_t::replace);
  return Bytes(text.begin(), text.end());
}

std::optional<std::vector<KIVOLogItem>> decodePending(const Bytes& bytes) {
  const auto document = console::parseJSON(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  if (!document || !document->is_object()) return std::nullopt;
  const auto* version = console::member(*document, "version");
  const auto* list = console::member(*document, "items");
  if (!version || console::integerValue(*version) != kVersion || !list || !list->is_array()) return std::nullopt;
  std::vector<KIVOLogItem> items;
  for (const auto& entry : *list) {
    const auto* mediaID = console::member(entry, "media_id");
    if (!mediaID) continue;
    KIVOLogItem item;
    item.mediaID = console::identifierValue(*mediaID);
    if (!item.mediaID) continue;
    item.mediaIDIsNumber = mediaID->is_number();
    if (const auto* itemID = console::member(entry, "item_id")) item.itemID = console::identifierValue(*itemID);
    if (const auto* created = console::member(entry, "created")) item.created = console::integerValue(*created);
    if (const auto* location = console::member(entry, "location")) item.location = decodeLocation(*location);
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace kivo::activity
