#include "kivo/item.h"

#include <mutex>

#include "campaign/json_access.h"

namespace kivo {

struct KIVOItem::Subitems {
  std::once_flag once;
  std::vector<KIVOItem> list;  // written once under once
};

KIVOItem::KIVOItem(std::shared_ptr<const nlohmann::json> document, const nlohmann::json* object)
    : document_(std::move(document)), object_(object), subitems_(std::make_shared<Subitems>()) {}

KIVOItem KIVOItem::initWithDictionary(nlohmann::json dictionary) {
  auto document = std::make_shared<const nlohmann::json>(std::move(dictionary));
  const nlohmann::json* result = campaign::find(*document, "result");
  const nlohmann::json* object = result && result->is_object() ? result : document.get();
  return KIVOItem(std::move(document), object);
}

KIVOItem KIVOItem::initWithResultDictionary(nlohmann::json dictionary) {
  auto document = std::make_shared<const nlohmann::json>(std::move(dictionary));
  const nlohmann::json* object = document.get();
  return KIVOItem(std::move(document), object);
}

const std::vector<KIVOItem>& KIVOItem::subitems() const {
  std::call_once(subitems_->once, [this] {
    const nlohmann::json& items = campaign::member(*object_, "items");
    if (!items.is_array()) return;
    for (const nlohmann::json& element : items)
      if (element.is_object()) subitems_->list.push_back(KIVOItem(document_, &element));
  });
  return subitems_->list;
}

std::optional<KIVOItem> KIVOItem::mainPromotionItem() const {
  for (const KIVOItem& item : subitems())
    if (item.isMainPromotionItem()) return item;
  return std::nullopt;
}

const nlohmann::json* KIVOItem::objectForKey(std::string_view key) const { return campaign::find(*object_, key); }

std::optional<URL> KIVOItem::urlForKey(std::string_view key) const {
  const nlohmann::json* value = objectForKey(key);
  if (!value || !value->is_string() || value->get_ref<const std::string&>().empty()) return std::nullopt;
  return URL(value->get<std::string>());
}

std::optional<Date> KIVOItem::dateForKey(std::string_view key) const {
  const nlohmann::json* value = objectForKey(key);
  if (!value || !value->is_string() || value->get_ref<const std::string&>().empty()) return std::nullopt;
  return dateFromISOFormat(*value);
}

bool KIVOItem::isMainPromotionItem() const {
  const nlohmann::json* value = rel();
  return value && value->is_string() && value->get_ref<const std::string&>() == "main";
}

}  // namespace kivo
