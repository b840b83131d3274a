// Property-list values, as the settings store keeps them: text, integers, reals, booleans, dates,
// byte data, arrays and dictionaries (text keys, sorted). A value type; copies are independent.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "kivo/bytes.h"
#include "kivo/export.h"

namespace kivo {

class PropertyList;
using PropertyArray = std::vector<PropertyList>;
using PropertyDictionary = std::map<std::string, PropertyList, std::less<>>;
using PropertyDate = std::chrono::system_clock::time_point;

class KIVO_API PropertyList {
 public:
  using Value = std::variant<std::string, int64_t, double, bool, PropertyDate, Bytes, PropertyArray,
                             PropertyDictionary>;

  PropertyList() : value_(PropertyDictionary{}) {}  // an empty dictionary
  PropertyList(const char* text) : value_(std::string(text)) {}
  PropertyList(std::string text) : value_(std::move(text)) {}
  PropertyList(std::string_view text) : value_(std::string(text)) {}
  template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
  PropertyList(T number) : value_(static_cast<int64_t>(number)) {}
  PropertyList(double number) : value_(number) {}
  PropertyList(bool flag) : value_(flag) {}
  PropertyList(PropertyDate date) : value_(date) {}
  PropertyList(Bytes data) : value_(std::move(data)) {}
  PropertyList(PropertyArray array) : value_(std::move(array)) {}
  PropertyList(PropertyDictionary dictionary) : value_(std::move(dictionary)) {}

  // The held value when it is a T (one of Value's alternatives), else null.
  template <class T>
  const T* get() const {
    return std::get_if<T>(&value_);
  }
  template <class T>
  bool is() const {
    return std::holds_alternative<T>(value_);
  }
  const Value& value() const { return value_; }

  // For a dictionary: the entry under key, or null (also when this is not a dictionary).
  const PropertyList* find(std::string_view key) const;

  friend bool operator==(const PropertyList&, const PropertyList&) = default;

 private:
  Value value_;
};

}  // namespace kivo
