// Keyed archiving of the campaign classes (and of any class with the same three members):
//   static constexpr std::string_view kArchiveClassName;      the class name written in the archive
//   void encodeWithCoder(KIVOArchiver& coder) const;          writes the fields under their keys
//   explicit T(const KIVOUnarchiver& coder);                   reads them back
// An archive is UTF-8 JSON text, versioned and typed (docs/archive-format.md). Decoding is
// defensive: a damaged archive, one of another format, version or class is rejected with an error
// value; inside a good archive a value of the wrong type, or one a later version wrote in a form
// this reader does not know, reads as absent. Coders are confined to the calling thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "kivo/bytes.h"
#include "kivo/dates.h"
#include "kivo/error.h"
#include "kivo/export.h"
#include "kivo/url.h"

namespace kivo {

inline constexpr std::string_view KIVOArchiveErrorDomain = "KIVOArchive";

// Codes of the errors KIVOUnarchiver reports (domain KIVOArchiveErrorDomain).
enum KIVOArchiveErrorCode : int64_t {
  KIVOArchiveErrorCodeDamaged = 1,             // not JSON text: truncated, corrupted or not UTF-8
  KIVOArchiveErrorCodeNotAnArchive = 2,        // JSON, but not an archive of this format
  KIVOArchiveErrorCodeUnsupportedVersion = 3,  // an archive of another format version
  KIVOArchiveErrorCodeWrongClass = 4,          // an archive of another class
};

// Collects the typed fields of one object. An absent optional writes nothing.
class KIVO_API KIVOArchiver {
 public:
  // The archive of object, its class named by T::kArchiveClassName.
  template <class T>
  static Bytes archivedDataWithRootObject(const T& object) {
    KIVOArchiver coder;
    object.encodeWithCoder(coder);
    return coder.archive(T::kArchiveClassName);
  }

  void encodeString(std::string_view key, const std::optional<std::string>& value);
  void encodeURL(std::string_view key, const std::optional<URL>& value);
  void encodeDate(std::string_view key, const std::optional<Date>& value);
  void encodeInteger(std::string_view key, int64_t value);
  void encodeBool(std::string_view key, bool value);
  void encodeStrings(std::string_view key, const std::vector<std::string>& value);
  template <class T>
  void encodeObject(std::string_view key, const std::optional<T>& object) {
    if (!object) return;
    KIVOArchiver child;
    object->encodeWithCoder(child);
    putObject(key, T::kArchiveClassName, std::move(child));
  }

 private:
  KIVOArchiver();
  void putObject(std::string_view key, std::string_view className, KIVOArchiver&& child);
  Bytes archive(std::string_view className) const;

  nlohmann::ordered_json fields_;  // key -> [type, payload], in encoding order
};

// Reads the typed fields of one object of an archive. Absent and wrongly typed values read as
// nothing (integers 0, booleans false, lists empty).
class KIVO_API KIVOUnarchiver {
 public:
  // The object archived in data when it is a well-formed archive of class T; otherwise nothing,
  // and *error (when given) says why.
  template <class T>
  static std::optional<T> unarchivedObjectOfClass(std::span<const uint8_t> data, Error* error = nullptr) {
    nlohmann::json document;
    const nlohmann::json* fields = openArchive(data, T::kArchiveClassName, document, error);
    if (!fields) return std::nullopt;
    return T(KIVOUnarchiver(*fields));
  }

  bool containsValueForKey(std::string_view key) const;
  std::optional<std::string> decodeString(std::string_view key) const;
  std::optional<URL> decodeURL(std::string_view key) const;
  std::optional<Date> decodeDate(std::string_view key) const;
  int64_t decodeInteger(std::string_view key) const;
  // A stored integer outside the signed 32-bit range reads as 0.
  int32_t decodeInt32(std::string_view key) const;
  bool decodeBool(std::string_view key) const;
  // The list when every element is a string; empty otherwise.
  std::vector<std::string> decodeStrings(std::string_view key) const;
  // The nested object when it was archived as class T.
  template <class T>
  std::optional<T> decodeObject(std::string_view key) const {
    const nlohmann::json* fields = objectFields(key, T::kArchiveClassName);
    if (!fields) return std::nullopt;
    return T(KIVOUnarchiver(*fields));
  }

 private:
  explicit KIVOUnarchiver(const nlohmann::json& fields) : fields_(fields) {}
  // Parses data into document and returns its fields object, or null with *error set.
  static const nlohmann::json* openArchive(std::span<const uint8_t> data, std::string_view className,
                                           nlohmann::json& document, Error* error);
  // The payload of key's entry when its type tag is tag, else null.
  const nlohmann::json* payload(std::string_view key, std::string_view tag) const;
  const nlohmann::json* objectFields(std::string_view key, std::string_view className) const;

  const nlohmann::json& fields_;  // an object, owned by the document being decoded
};

}  // namespace kivo
