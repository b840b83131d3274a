#include "platform/user_defaults_codec.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "platform/json_depth.h"

namespace kivo {
namespace {

using nlohmann::json;

constexpr std::string_view kFormatKey = "kivo-user-defaults";
constexpr int kVersion = 1;
constexpr int kMaxDepth = 64;
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const Bytes& data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  for (size_t i = 0; i < data.size(); i += 3) {
    uint32_t n = uint32_t(data[i]) << 16;
    if (i + 1 < data.size()) n |= uint32_t(data[i + 1]) << 8;
    if (i + 2 < data.size()) n |= data[i + 2];
    out.push_back(kBase64[(n >> 18) & 63]);
    out.push_back(kBase64[(n >> 12) & 63]);
    out.push_back(i + 1 < data.size() ? kBase64[(n >> 6) & 63] : '=');
    out.push_back(i + 2 < data.size() ? kBase64[n & 63] : '=');
  }
  return out;
}

std::optional<Bytes> unbase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    uint32_t n = 0;
    int padding = 0;
    for (size_t j = 0; j < 4; ++j) {
      char c = text[i + j];
      const char* at = c ? std::char_traits<char>::find(kBase64, 64, c) : nullptr;
      bool pad = c == '=' && i + 4 == text.size() && j >= 2 && (j == 3 || text[i + 3] == '=');
      if (!at && !pad) return std::nullopt;
      padding += pad;
      n = (n << 6) | (at ? uint32_t(at - kBase64) : 0);
    }
    out.push_back(uint8_t(n >> 16));
    if (padding < 2) out.push_back(uint8_t(n >> 8));
    if (padding < 1) out.push_back(uint8_t(n));
  }
  return out;
}

json encodeValue(const PropertyList& value);

json encodeDictionary(const PropertyDictionary& dictionary) {
  json object = json::object();
  for (const auto& [key, entry] : dictionary) object[key] = encodeValue(entry);
  return object;
}

json encodeValue(const PropertyList& value) {
  return std::visit(
      [](const auto& v) -> json {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::string>) {
          return json::array({"string", v});
        } else if constexpr (std::is_same_v<V, int64_t>) {
          return json::array({"integer", v});
        } else if constexpr (std::is_same_v<V, double>) {
          if (std::isnan(v)) return json::array({"real", "nan"});
          if (std::isinf(v)) return json::array({"real", v > 0 ? "inf" : "-inf"});
          return json::array({"real", v});
        } else if constexpr (std::is_same_v<V, bool>) {
          return json::array({"bool", v});
        } else if constexpr (std::is_same_v<V, PropertyDate>) {
          auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(v.time_since_epoch()).count();
          return json::array({"date", ns});
        } else if constexpr (std::is_same_v<V, Bytes>) {
          return json::array({"data", base64(v)});
        } else if constexpr (std::is_same_v<V, PropertyArray>) {
          json items = json::array();
          for (const auto& item : v) items.push_back(encodeValue(item));
          return json::array({"array", std::move(items)});
        } else {
          return json::array({"dict", encodeDictionary(v)});
        }
      },
      value.value());
}

struct Decoder {
  std::string& error;

  std::optional<PropertyList> fail(std::string why) {
    error = std::move(why);
    return std::nullopt;
  }

  std::optional<PropertyDictionary> dictionary(const json& object, int depth) {
    if (!object.is_object()) {
      error = "a dictionary is not a JSON object";
      return std::nullopt;
    }
    PropertyDictionary out;
    for (const auto& [key, entry] : object.items()) {
      auto decoded = value(entry, depth + 1);
      if (!decoded) return std::nullopt;
      out.emplace(key, std::move(*decoded));
    }
    return out;
  }

  std::optional<PropertyList> value(const json& node, int depth) {
    if (depth > kMaxDepth) return fail("values nest too deeply");
    if (!node.is_array() || node.size() != 2 || !node[0].is_string()) return fail("a value is not a [type, payload] pair");
    const std::string& type = node[0].get_ref<const std::string&>();
    const json& payload = node[1];
    if (type == "string" && payload.is_string()) return PropertyList(payload.get<std::string>());
    if (type == "integer" && payload.is_number_integer()) {
      if (payload.is_number_unsigned() && payload.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max()))
        return fail("an integer is out of range");
      return PropertyList(payload.get<int64_t>());
    }
    if (type == "real" && payload.is_number()) return PropertyList(payload.get<double>());
    if (type == "real" && payload.is_string()) {
      const auto& word = payload.get_ref<const std::string&>();
      if (word == "nan") return PropertyList(std::numeric_limits<double>::quiet_NaN());
      if (word == "inf") return PropertyList(std::numeric_limits<double>::infinity());
      if (word == "-inf") return PropertyList(-std::numeric_limits<double>::infinity());
    }
    if (type == "bool" && payload.is_boolean()) return PropertyList(payload.get<bool>());
    if (type == "date" && payload.is_number_integer()) {
      if (payload.is_number_unsigned() && payload.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max()))
        return fail("a date is out of range");
      auto since = std::chrono::nanoseconds(payload.get<int64_t>());
      return PropertyList(PropertyDate(std::chrono::duration_cast<PropertyDate::duration>(since)));
    }
    if (type == "data" && payload.is_string()) {
      auto bytes = unbase64(payload.get_ref<const std::string&>());
      if (!bytes) return fail("data is not valid base64");
      return PropertyList(std::move(*bytes));
    }
    if (type == "array" && payload.is_array()) {
      PropertyArray items;
      for (const auto& item : payload) {
        auto decoded = value(item, depth + 1);
        if (!decoded) return std::nullopt;
        items.push_back(std::move(*decoded));
      }
      return PropertyList(std::move(items));
    }
    if (type == "dict") {
      auto decoded = dictionary(payload, depth);
      if (!decoded) return std::nullopt;
      return PropertyList(std::move(*decoded));
    }
    return fail("a value of type \"" + type + "\" has a wrong payload");
  }
};

}  // namespace

std::string encodeUserDefaults(const PropertyDictionary& values) {
  json file = json::object();
  file[std::string(kFormatKey)] = kVersion;
  file["values"] = encodeDictionary(values);
  return file.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::optional<PropertyDictionary> decodeUserDefaults(std::string_view text, std::string& error) {
  if (!jsonDepthWithin(text)) {
    error = "nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
    return std::nullopt;
  }
  json file = json::parse(text, nullptr, false);
  if (file.is_discarded()) {
    error = "not valid JSON";
    return std::nullopt;
  }
  if (!file.is_object() || !file.contains(kFormatKey) || !file[std::string(kFormatKey)].is_number_integer()) {
    error = "not a settings file";
    return std::nullopt;
  }
  if (file[std::string(kFormatKey)].get<int64_t>() != kVersion) {
    error = "unknown version " + file[std::string(kFormatKey)].dump();
    return std::nullopt;
  }
  if (!file.contains("values")) {
    error = "no values";
    return std::nullopt;
  }
  return Decoder{error}.dictionary(file["values"], 0);
}

}  // namespace kivo
