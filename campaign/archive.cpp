#include "kivo/archive.h"

#include <chrono>
#include <limits>

#include "kivo/format.h"
#include "platform/json_depth.h"

namespace kivo {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr std::string_view kVersionKey = "kivo-archive";
constexpr std::string_view kClassKey = "class";
constexpr std::string_view kFieldsKey = "fields";
constexpr int64_t kVersion = 1;

Error archiveError(KIVOArchiveErrorCode code, std::string description) {
  return Error{std::string(KIVOArchiveErrorDomain), code, std::move(description)};
}

const json* member(const json& object, std::string_view key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// A JSON integer that fits in 64 signed bits.
std::optional<int64_t> signedInteger(const json& value) {
  if (value.is_number_unsigned()) {
    auto number = value.get<uint64_t>();
    if (number > uint64_t(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return int64_t(number);
  }
  if (value.is_number_integer()) return value.get<int64_t>();
  return std::nullopt;
}

}  // namespace

KIVOArchiver::KIVOArchiver() : fields_(ordered_json::object()) {}

void KIVOArchiver::encodeString(std::string_view key, const std::optional<std::string>& value) {
  if (value) fields_[std::string(key)] = ordered_json::array({"string", *value});
}

void KIVOArchiver::encodeURL(std::string_view key, const std::optional<URL>& value) {
  if (value) fields_[std::string(key)] = ordered_json::array({"url", value->absoluteString()});
}

void KIVOArchiver::encodeDate(std::string_view key, const std::optional<Date>& value) {
  if (!value) return;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(value->time_since_epoch()).count();
  fields_[std::string(key)] = ordered_json::array({"date", int64_t(ns)});
}

void KIVOArchiver::encodeInteger(std::string_view key, int64_t value) {
  fields_[std::string(key)] = ordered_json::array({"integer", value});
}

void KIVOArchiver::encodeBool(std::string_view key, bool value) {
  fields_[std::string(key)] = ordered_json::array({"bool", value});
}

void KIVOArchiver::encodeStrings(std::string_view key, const std::vector<std::string>& value) {
  ordered_json elements = ordered_json::array();
  for (const auto& text : value) elements.push_back(ordered_json::array({"string", text}));
  fields_[std::string(key)] = ordered_json::array({"array", std::move(elements)});
}

void KIVOArchiver::putObject(std::string_view key, std::string_view className, KIVOArchiver&& child) {
  ordered_json object = ordered_json::object();
  object[std::string(kClassKey)] = className;
  object[std::string(kFieldsKey)] = std::move(child.fields_);
  fields_[std::string(key)] = ordered_json::array({"object", std::move(object)});
}

Bytes KIVOArchiver::archive(std::string_view className) const {
  ordered_json document = ordered_json::object();
  document[std::string(kVersionKey)] = kVersion;
  document[std::string(kClassKey)] = className;
  document[std::string(kFieldsKey)] = fields_;
  // Text that is not UTF-8 is written with U+FFFD, so every archive can be read back.
  std::string text = document.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
  return Bytes(text.begin(), text.end());
}

const json* KIVOUnarchiver::openArchive(std::span<const uint8_t> data, std::string_view className, json& document,
                                        Error* error) {
  auto fail = [&](KIVOArchiveErrorCode code, std::string description) -> const json* {
    if (error) *error = archiveError(code, std::move(description));
    return nullptr;
  };
  if (!jsonDepthWithin({reinterpret_cast<const char*>(data.data()), data.size()}))
    return fail(KIVOArchiveErrorCodeNotAnArchive, format("archive nests deeper than %d levels", uint64_t(kMaxJsonDepth)));
  try {
    document = json::parse(data.begin(), data.end());
  } catch (const json::parse_error& e) {
    return fail(KIVOArchiveErrorCodeDamaged, format("archive is not JSON text (byte %d)", uint64_t(e.byte)));
  } catch (const json::exception& e) {  // a number beyond every JSON number type
    return fail(KIVOArchiveErrorCodeDamaged, format("archive is not JSON text (%@)", e.what()));
  }
  if (!document.is_object()) return fail(KIVOArchiveErrorCodeNotAnArchive, "archive is not a JSON object");
  const json* version = member(document, kVersionKey);
  if (!version) return fail(KIVOArchiveErrorCodeNotAnArchive, "archive has no \"kivo-archive\" version");
  auto number = signedInteger(*version);
  if (!number)
    return fail(KIVOArchiveErrorCodeNotAnArchive, format("archive version %@ is not an integer", *version));
  if (*number != kVersion)
    return fail(KIVOArchiveErrorCodeUnsupportedVersion,
                format("archive version %d is not supported (this reader reads %d)", *number, kVersion));
  const json* name = member(document, kClassKey);
  const json* fields = member(document, kFieldsKey);
  if (!name || !name->is_string() || !fields || !fields->is_object())
    return fail(KIVOArchiveErrorCodeNotAnArchive, "archive lacks its \"class\" text or \"fields\" object");
  if (name->get_ref<const std::string&>() != className)
    return fail(KIVOArchiveErrorCodeWrongClass, format("archive holds %@, not %@", *name, className));
  return fields;
}

const json* KIVOUnarchiver::payload(std::string_view key, std::string_view tag) const {
  const json* entry = member(fields_, key);
  if (!entry || !entry->is_array() || entry->size() != 2) return nullptr;
  const json& type = (*entry)[0];
  if (!type.is_string() || type.get_ref<const std::string&>() != tag) return nullptr;
  return &(*entry)[1];
}

bool KIVOUnarchiver::containsValueForKey(std::string_view key) const { return member(fields_, key) != nullptr; }

std::optional<std::string> KIVOUnarchiver::decodeString(std::string_view key) const {
  const json* value = payload(key, "string");
  if (!value || !value->is_string()) return std::nullopt;
  return value->get_ref<const std::string&>();
}

std::optional<URL> KIVOUnarchiver::decodeURL(std::string_view key) const {
  const json* value = payload(key, "url");
  if (!value || !value->is_string()) return std::nullopt;
  return URL(value->get_ref<const std::string&>());
}

std::optional<Date> KIVOUnarchiver::decodeDate(std::string_view key) const {
  const json* value = payload(key, "date");
  auto ns = value ? signedInteger(*value) : std::nullopt;
  if (!ns) return std::nullopt;
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::nanoseconds(*ns)));
}

int64_t KIVOUnarchiver::decodeInteger(std::string_view key) const {
  const json* value = payload(key, "integer");
  return value ? signedInteger(*value).value_or(0) : 0;
}

int32_t KIVOUnarchiver::decodeInt32(std::string_view key) const {
  int64_t value = decodeInteger(key);
  bool fits = value >= std::numeric_limits<int32_t>::min() && value <= std::numeric_limits<int32_t>::max();
  return fits ? int32_t(value) : 0;
}

bool KIVOUnarchiver::decodeBool(std::string_view key) const {
  const json* value = payload(key, "bool");
  return value && value->is_boolean() && value->get<bool>();
}

std::vector<std::string> KIVOUnarchiver::decodeStrings(std::string_view key) const {
  const json* value = payload(key, "array");
  if (!value || !value->is_array()) return {};
  std::vector<std::string> strings;
  strings.reserve(value->size());
  for (const json& element : *value) {
    if (!element.is_array() || element.size() != 2 || element[0] != "string" || !element[1].is_string()) return {};
    strings.push_back(element[1].get<std::string>());
  }
  return strings;
}

const json* KIVOUnarchiver::objectFields(std::string_view key, std::string_view className) const {
  const json* object = payload(key, "object");
  if (!object || !object->is_object()) return nullptr;
  const json* name = member(*object, kClassKey);
  const json* fields = member(*object, kFieldsKey);
  if (!name || !name->is_string() || name->get_ref<const std::string&>() != className) return nullptr;
  if (!fields || !fields->is_object()) return nullptr;
  return fields;
}

}  // namespace kivo
