#include "kivo/property_list.h"

namespace kivo {

const PropertyList* PropertyList::find(std::string_view key) const {
  const auto* dictionary = get<PropertyDictionary>();
  if (!dictionary) return nullptr;
  auto it = dictionary->find(key);
  return it == dictionary->end() ? nullptr : &it->second;
}

}  // namespace kivo
