// The multipart/form-data pieces of KIVOHTTP: boundary, content type and body bytes.
#include <cinttypes>
#include <cstdio>
#include <random>

#include "kivo/format.h"
#include "kivo/http.h"

namespace kivo {
namespace {

void appendText(Bytes& body, std::string_view text) { body.insert(body.end(), text.begin(), text.end()); }

std::string formValueText(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "1" : "0";
  if (value.is_null()) return "<null>";
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::string KIVOHTTP::makeBoundary() {
  std::random_device device;
  const uint64_t high = (uint64_t{device()} << 32) | device();
  const uint64_t low = (uint64_t{device()} << 32) | device();
  // A version 4 UUID: random but for the version nibble and the variant bits.
  const uint64_t a = (high & 0xFFFFFFFFFFFF0FFFull) | 0x4000ull;
  const uint64_t b = (low & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull;
  char uuid[37];
  std::snprintf(uuid, sizeof uuid, "%08" PRIX64 "-%04" PRIX64 "-%04" PRIX64 "-%04" PRIX64 "-%012" PRIX64, a >> 32,
                (a >> 16) & 0xFFFF, a & 0xFFFF, b >> 48, b & uint64_t{0xFFFFFFFFFFFF});
  return "----KIVO-Boundary-" + std::string(uuid);
}

std::string KIVOHTTP::stringOfMultipartFormDataWithBoundary(const std::string& boundary) {
  return format("multipart/form-data; charset=utf-8; boundary=%@", boundary);
}

Bytes KIVOHTTP::bodyDataWithBoundary(const std::string& boundary, const FormParameters& parameters,
                                     const std::optional<std::string>& uploadKey,
                                     const std::optional<std::string>& uploadFileName,
                                     const std::optional<std::string>& uploadContentType,
                                     const std::optional<Bytes>& uploadData) {
  Bytes body;
  for (const auto& [name, value] : parameters) {
    appendText(body, format("--%@\r\n", boundary));
    appendText(body, format("Content-Disposition: form-data; name=\"%@\"\r\n\r\n", name));
    appendText(body, format("%@\r\n", formValueText(value)));
  }
  if (uploadKey && uploadFileName && uploadContentType && uploadData) {
    appendText(body, format("--%@\r\n", boundary));
    appendText(body, format("Content-Disposition: form-data; name=\"%@\"; filename=\"%@\"\r\n", *uploadKey, *uploadFileName));
    appendText(body, format("Content-Type: %@\r\nContent-Transfer-Encoding: binary\r\n\r\n", *uploadContentType));
    body.insert(body.end(), uploadData->begin(), uploadData->end());
    appendText(body, "\r\n");
  }
  appendText(body, format("--%@--\r\n", boundary));
  return body;
}

}  // namespace kivo
