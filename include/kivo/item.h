// KIVOItem: a read-only view over one JSON object of campaign content (a promotion set or one of
// its items). It keeps the object as it is and converts on every read.
//
// Copies are cheap and share the immutable document. Pointers returned by the key getters point
// into that document and stay valid while any item made from it lives. Thread-safe: every
// operation may run on any thread at once (subitems is built exactly once).
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "kivo/dates.h"
#include "kivo/export.h"
#include "kivo/url.h"

namespace kivo {

class KIVO_API KIVOItem {
 public:
  // Wraps dictionary's "result" when that is a JSON object, otherwise dictionary itself.
  static KIVOItem initWithDictionary(nlohmann::json dictionary);
  // Wraps dictionary itself.
  static KIVOItem initWithResultDictionary(nlohmann::json dictionary);

  // Copies share the document and subitems; a move copies too, so no item is ever left empty.
  KIVOItem(const KIVOItem&) = default;
  KIVOItem& operator=(const KIVOItem&) = default;

  // The wrapped value (normally an object; anything else reads as having no keys).
  const nlohmann::json& dictionary() const { return *object_; }
  // One item per JSON object in the wrapped "items" list, in list order (other elements are left
  // out); empty when there is no such list. Built on the first call, then kept.
  const std::vector<KIVOItem>& subitems() const;
  // The first of subitems whose "rel" is exactly "main", or nothing.
  std::optional<KIVOItem> mainPromotionItem() const;

  // The value under key as stored (a JSON null included), or null when there is none. No type
  // check: stringForKey and dictionaryForKey are the same read.
  const nlohmann::json* objectForKey(std::string_view key) const;
  const nlohmann::json* stringForKey(std::string_view key) const { return objectForKey(key); }
  const nlohmann::json* dictionaryForKey(std::string_view key) const { return objectForKey(key); }
  // A URL of the text under key when it is a non-empty JSON string, else nothing.
  std::optional<URL> urlForKey(std::string_view key) const;
  // dateFromISOFormat of the text under key when it is a non-empty JSON string, else nothing.
  std::optional<Date> dateForKey(std::string_view key) const;

  const nlohmann::json* identifier() const { return objectForKey("_id"); }
  const nlohmann::json* title() const { return objectForKey("title"); }
  const nlohmann::json* name() const { return objectForKey("name"); }
  const nlohmann::json* subname() const { return objectForKey("subname"); }
  const nlohmann::json* rel() const { return objectForKey("rel"); }
  const nlohmann::json* type() const { return objectForKey("type"); }
  std::optional<URL> imageURL() const { return urlForKey("image"); }
  std::optional<Date> startDate() const { return dateForKey("start_date"); }
  std::optional<Date> endDate() const { return dateForKey("end_date"); }
  // True when "rel" is exactly the text "main".
  bool isMainPromotionItem() const;

 private:
  struct Subitems;

  KIVOItem(std::shared_ptr<const nlohmann::json> document, const nlohmann::json* object);

  std::shared_ptr<const nlohmann::json> document_;  // owns *object_
  const nlohmann::json* object_;
  std::shared_ptr<Subitems> subitems_;  // shared by copies
};

}  // namespace kivo
