// Request bodies of the console's forms: multipart/form-data and application/x-www-form-urlencoded.
// Pure functions over bytes; every size is capped and every malformed input is refused with a
// one-line reason, never a crash. Parts own copies of their bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::console {

struct FormPart {
  std::string name;
  std::optional<std::string> filename;  // present for file parts
  std::string contentType;              // "" when the part names none
  std::string value;                    // the part's bytes (urlencoded values decoded)
};

struct FormLimits {
  size_t maxParts = 32;
  size_t maxHeaderBytes = 1024;        // per part, all header lines together
  size_t maxFieldBytes = 64 * 1024;    // a part without a file name
  size_t maxFileBytes = 4 * 1024 * 1024;
};

struct FormResult;
struct FormLimits;

class Form {
 public:
  // The first part of that name, or nothing.
  const FormPart* find(std::string_view name) const;
  // The value of the first field of that name.
  std::optional<std::string> field(std::string_view name) const;
  const std::vector<FormPart>& parts() const { return parts_; }
  void add(std::string name, std::string value) { parts_.push_back({std::move(name), std::nullopt, "", std::move(value)}); }

 private:
  friend FormResult parseMultipart(std::string_view, std::string_view, const FormLimits&);
  friend FormResult parseUrlEncoded(std::string_view, const FormLimits&);
  std::vector<FormPart> parts_;
};

struct FormResult {
  std::optional<Form> form;
  std::string error;  // why the body was refused, when form is empty
};

// The boundary parameter of a multipart/form-data content type (quoted or not), or nothing.
std::optional<std::string> multipartBoundary(std::string_view contentType);

// Parses a multipart body with the given boundary (1 to 70 characters).
FormResult parseMultipart(std::string_view body, std::string_view boundary, const FormLimits& limits = {});

// Parses "a=1&b=x%20y" (also a URL's query); '+' is a space. Repeated names are kept in order.
FormResult parseUrlEncoded(std::string_view text, const FormLimits& limits = {});

// Picks the parser by content type: multipart, urlencoded, or (for bodiless requests) an empty form.
FormResult parseForm(std::string_view contentType, std::string_view body, const FormLimits& limits = {});

}  // namespace kivo::console
