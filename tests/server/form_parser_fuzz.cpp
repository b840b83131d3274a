// Fuzz target of the console's form parser. Input: a content type line, then the body.
// Every input must either parse into parts within the limits or be refused with a reason.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "server/form_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t eol = input.find('\n');
  const std::string_view type = input.substr(0, eol);
  const std::string_view body = eol == std::string_view::npos ? std::string_view() : input.substr(eol + 1);
  kivo::console::FormLimits limits;
  limits.maxParts = 8;
  limits.maxHeaderBytes = 256;
  limits.maxFieldBytes = 512;
  limits.maxFileBytes = 4096;
  const auto result = kivo::console::parseForm(type, body, limits);
  if (result.form.has_value() == !result.error.empty()) std::abort();
  if (result.form) {
    if (result.form->parts().size() > limits.maxParts) std::abort();
    for (const auto& part : result.form->parts()) {
      if (part.name.empty()) std::abort();
      if (part.value.size() > (part.filename ? limits.maxFileBytes : limits.maxFieldBytes)) std::abort();
      if (part.value.size() > body.size()) std::abort();
    }
  }
  return 0;
}
