// The console's endpoint rows and answer readers.
#include "network/console_endpoints.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "kivo/dates.h"
#include "kivo/format.h"
#include "network/http_log.h"
#include "platform/json_depth.h"

namespace kivo::console {
namespace {

Request multipart(Method method, std::string suffix, FormParameters fields, std::optional<Bytes> afp = {}) {
  Request request;
  request.method = method;
  request.suffix = std::move(suffix);
  request.fields = std::move(fields);
  request.afp = std::move(afp);
  return request;
}

void addIfGiven(FormParameters& fields, const char* name, const std::optional<std::string>& value) {
  if (value) fields.emplace_back(name, *value);
}

bool isUnreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

std::string percentEncode(std::string_view text, std::string_view alsoKept) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (isUnreserved(c) || alsoKept.find(ch) != std::string_view::npos) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

std::string fixed8(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%1.8f", value);  // the C locale: the library never sets another
  return buffer;
}

}  // namespace

Request auth(const std::string& applicationID, const std::string& secretKey, const std::string& sessionID,
             const std::optional<std::string>& packVersion) {
  return multipart(Method::kPost, "/auth",
                   {{"app_id", applicationID},
                    {"secret_key", secretKey},
                    {"session_id", sessionID},
                    {"v", packVersion.value_or(std::string(kNoPackVersion))}});
}

Request updateAFP(const std::string& session) {
  return multipart(Method::kPost, "/v1_prefix/update_afp", {{"session", session}});
}

Request cloudQuery(const std::string& session, double cutoff, const std::optional<Location>& location, Bytes afp) {
  FormParameters fields{{"session", session}, {"cutoff", integerText(cutoff)}};
  if (location) fields.emplace_back("loc", locationDescription(*location));
  return multipart(Method::kPost, "/query", std::move(fields), std::move(afp));
}

Request liveQuery(const std::string& session, Bytes afp) {
  return multipart(Method::kPost, "/query",
                   {{"SilenceRate", floatText(0.05f)}, {"SilenceThreshold", floatText(0.2f)}, {"session_id", session}},
                   std::move(afp));
}

Request serviceQuery(const std::string& session, int32_t cutoff, const std::optional<Location>& location, Bytes afp) {
  FormParameters fields{{"session", session}, {"cutoff", std::to_string(cutoff)}};
  if (location && std::isfinite(location->latitude) && std::isfinite(location->longitude)) {
    fields.emplace_back("loc", latitudeLongitudeText(*location));
  }
  return multipart(Method::kPost, "/query", std::move(fields), std::move(afp));
}

std::optional<Request> promotion(const std::string& session, const std::string& promotionID,
                                 const std::optional<std::string>& mediaID,
                                 const std::optional<std::string>& userData,
                                 const std::optional<std::string>& answer, bool quizCorrect) {
  if (session.empty() || promotionID.empty()) return std::nullopt;
  FormParameters fields{{"session", session}};
  addIfGiven(fields, "userdata", userData);
  addIfGiven(fields, "answer", answer);
  if (quizCorrect) fields.emplace_back("is_correct", "1");
  fields.emplace_back("promo_id", promotionID);
  addIfGiven(fields, "media_id", mediaID);
  return multipart(Method::kPost, "/promotion", std::move(fields));
}

std::optional<Request> promotions(const std::string& session, int32_t size, int32_t offset) {
  if (session.empty()) return std::nullopt;
  return multipart(Method::kGet, format("/promotion?session=%@&size=%d&offset=%d", queryValue(session), size, offset),
                   {});
}

std::optional<Request> promotionsWithPlainSession(const std::string& session, int32_t size, int32_t offset) {
  if (session.empty() || !plainQuerySafe(session)) return std::nullopt;
  return multipart(Method::kGet, format("/promotion?session=%@&size=%d&offset=%d", session, size, offset), {});
}

std::optional<Request> appliedPromotion(const std::string& promotionItemID, const std::string& session) {
  if (promotionItemID.empty() || session.empty() || !plainQuerySafe(session)) return std::nullopt;
  return multipart(Method::kGet, format("/promotion/%@?session=%@", pathSegment(promotionItemID), session), {});
}

std::optional<Request> bookmark(const std::string& session, const std::optional<std::string>& userData,
                                const std::optional<std::string>& itemID) {
  if (session.empty()) return std::nullopt;
  FormParameters fields{{"session", session}};
  addIfGiven(fields, "userdata", userData);
  addIfGiven(fields, "item_id", itemID);
  return multipart(Method::kPost, "/bookmark", std::move(fields));
}

std::optional<Request> deleteBookmark(const std::string& bookmarkID, const std::string& session) {
  if (bookmarkID.empty() || session.empty()) return std::nullopt;
  return multipart(Method::kDelete, "/bookmark/" + pathSegment(bookmarkID), {{"session", session}});
}

std::optional<Request> deleteState(const std::string& session) {
  if (session.empty()) return std::nullopt;
  return multipart(Method::kDelete, "/state", {{"session", session}});
}

Request immediateActivity(const nlohmann::json& mediaID) {
  Request request;
  request.method = Method::kPostJSON;
  request.suffix = "/activity/";
  request.document = {{"type", "material"}, {"material_id", mediaID}};
  return request;
}

Request queuedActivity(const std::string& applicationID, const std::string& secretKey, const std::string& session,
                       const nlohmann::json& mediaID) {
  Request request;
  request.method = Method::kPostJSON;
  request.suffix = "/activity/";
  request.document = {{"app_id", applicationID},
                      {"secret_key", secretKey},
                      {"session", session},
                      {"data", {{"material_id", mediaID}}}};
  return request;
}

void send(KIVOHTTP& http, const std::string& apiEndpoint, const Request& request, DataCompletion completion) {
  const std::string url = apiEndpoint + request.suffix;
  const std::optional<std::string> key = request.afp ? std::optional<std::string>(kAFPUploadKey) : std::nullopt;
  const std::optional<std::string> name = request.afp ? std::optional<std::string>(kAFPFileName) : std::nullopt;
  const std::optional<std::string> type = request.afp ? std::optional<std::string>(kAFPContentType) : std::nullopt;
  switch (request.method) {
    case Method::kGet:
      http.getWithURL(url, std::move(completion));
      break;
    case Method::kPost:
      http.postWithURL(url, request.fields, key, name, type, request.afp, std::move(completion));
      break;
    case Method::kDelete:
      http.deleteWithURL(url, request.fields, key, name, type, request.afp, std::move(completion));
      break;
    case Method::kPostJSON: {
      const std::string text = request.document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      http.postWithURLJSONData(url, Bytes(text.begin(), text.end()), std::move(completion));
      break;
    }
  }
}

std::string pathSegment(std::string_view text) { return percentEncode(text, "!$&'()*+,;=:@"); }

std::string queryValue(std::string_view text) { return percentEncode(text, "!$'()*,/:;?@"); }

bool plainQuerySafe(std::string_view text) {
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F || ch == '&' || ch == '#' || ch == '%' || ch == '+') return false;
  }
  return true;
}

std::string integerText(double value) {
  if (std::isnan(value)) return "0";
  if (value >= 9223372036854775807.0) return std::to_string(std::numeric_limits<int64_t>::max());
  if (value <= -9223372036854775808.0) return std::to_string(std::numeric_limits<int64_t>::min());
  return std::to_string(static_cast<int64_t>(value));
}

std::string floatText(float value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string latitudeLongitudeText(const Location& location) {
  return fixed8(location.latitude) + "," + fixed8(location.longitude);
}

std::string locationDescription(const Location& location) {
  char buffer[192];
  std::snprintf(buffer, sizeof buffer, "<%+.8f,%+.8f> +/- %.2fm (speed %.2f mps / course %.2f) @ ", location.latitude,
                location.longitude, location.horizontalAccuracy, location.speed, location.course);
  return buffer + formatDate(location.timestamp, "yyyy-MM-dd'T'HH:mm:ssZZZ", DateZone::UTC);
}

std::optional<nlohmann::json> parseJSON(std::string_view text) {
  if (!jsonDepthWithin(text)) return std::nullopt;
  nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::optional<std::string> utf8Text(const std::optional<Bytes>& body) {
  if (!body) return std::nullopt;
  std::string text(body->begin(), body->end());
  if (!net::isValidUtf8(text)) return std::nullopt;
  return text;
}

int64_t integerValue(const nlohmann::json& value) {
  if (value.is_number_integer()) return value.get<int64_t>();
  if (value.is_number_unsigned()) {
    const uint64_t u = value.get<uint64_t>();
    return u > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max() : int64_t(u);
  }
  if (value.is_number_float()) {
    const double d = value.get<double>();
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
    if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
  }
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t result = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      const int digit = text[i] - '0';
      if (negative) {
        if (result < (std::numeric_limits<int64_t>::min() + digit) / 10) return std::numeric_limits<int64_t>::min();
        result = result * 10 - digit;
      } else {
        if (result > (std::numeric_limits<int64_t>::max() - digit) / 10) return std::numeric_limits<int64_t>::max();
        result = result * 10 + digit;
      }
    }
    return result;
  }
  return 0;
}

std::optional<std::string> identifierValue(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number_integer()) return std::to_string(value.get<int64_t>());
  if (value.is_number_unsigned()) return std::to_string(value.get<uint64_t>());
  if (value.is_number_float()) {
    const double d = value.get<double>();
    if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9007199254740992.0) {
      return std::to_string(static_cast<int64_t>(d));
    }
  }
  return std::nullopt;
}

const nlohmann::json* member(const nlohmann::json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

}  // namespace kivo::console
