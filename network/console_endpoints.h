// The console's endpoint rows as request values, and the readers of its answers. Every console
// request of the library is built here, so the wire forms live in one place (docs/console-wire.md).
// Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "kivo/bytes.h"
#include "kivo/http.h"
#include "kivo/location.h"

namespace kivo::console {

// The file part of the query rows.
inline constexpr std::string_view kAFPUploadKey = "afp";
inline constexpr std::string_view kAFPFileName = "c773393c-87d3-4663-b592-269737c847b9.afp";
inline constexpr std::string_view kAFPContentType = "application/octet-stream";
// Row 1's "v" when no pack was installed.
inline constexpr std::string_view kNoPackVersion = "19990101000000";

enum class Method { kGet, kPost, kDelete, kPostJSON };

// One request: appended to apiEndpoint as it is. Multipart rows carry fields (in this order) and
// maybe the "afp" file part; the JSON row carries its document.
struct Request {
  Method method = Method::kGet;
  std::string suffix;
  FormParameters fields;
  std::optional<Bytes> afp;
  nlohmann::json document;
};

// Row 1: "app_id", "secret_key", "session_id", "v" (kNoPackVersion without a version).
Request auth(const std::string& applicationID, const std::string& secretKey, const std::string& sessionID,
             const std::optional<std::string>& packVersion);
// Row 3: "session".
Request updateAFP(const std::string& session);
// Row 4: "session", "cutoff" (integerText), "loc" (locationDescription) with a location.
Request cloudQuery(const std::string& session, double cutoff, const std::optional<Location>& location, Bytes afp);
// Row 5: "SilenceRate" 0.05, "SilenceThreshold" 0.2, "session_id".
Request liveQuery(const std::string& session, Bytes afp);
// Row 6: "session", "cutoff", "loc" (latitudeLongitudeText) with a location whose coordinates are
// finite.
Request serviceQuery(const std::string& session, int32_t cutoff, const std::optional<Location>& location, Bytes afp);
// Row 7: "session", "userdata", "answer", "is_correct" = "1" (only when quizCorrect), "promo_id",
// "media_id"; the optional ones only when given. Nothing when session or promotionID is empty.
std::optional<Request> promotion(const std::string& session, const std::string& promotionID,
                                 const std::optional<std::string>& mediaID,
                                 const std::optional<std::string>& userData,
                                 const std::optional<std::string>& answer, bool quizCorrect);
// Row 8 as the host's client sends it: the session percent-encoded as a query value.
std::optional<Request> promotions(const std::string& session, int32_t size, int32_t offset);
// Row 8 as the manager sends it: the session as it is; nothing when it is unsafe in a query.
std::optional<Request> promotionsWithPlainSession(const std::string& session, int32_t size, int32_t offset);
// Row 9: the item id as a path segment, the session as it is (nothing when unsafe).
std::optional<Request> appliedPromotion(const std::string& promotionItemID, const std::string& session);
// Row 10: "session", "userdata" (when given), "item_id" (when given).
std::optional<Request> bookmark(const std::string& session, const std::optional<std::string>& userData,
                                const std::optional<std::string>& itemID);
// Row 11: the bookmark id as a path segment; "session".
std::optional<Request> deleteBookmark(const std::string& bookmarkID, const std::string& session);
// Row 12: "session".
std::optional<Request> deleteState(const std::string& session);
// Row 13, immediate: {"type": "material", "material_id": mediaID}.
Request immediateActivity(const nlohmann::json& mediaID);
// Row 13, queued: {"app_id", "secret_key", "session", "data": {"material_id": mediaID}}.
Request queuedActivity(const std::string& applicationID, const std::string& secretKey, const std::string& session,
                       const nlohmann::json& mediaID);

// Starts request on http at apiEndpoint + suffix.
void send(KIVOHTTP& http, const std::string& apiEndpoint, const Request& request, DataCompletion completion);

// Texts put on the wire.
// Percent-encodes every byte outside RFC 3986's path characters (letters, digits, -._~!$&'()*+,;=:@).
std::string pathSegment(std::string_view text);
// Percent-encodes every byte outside letters, digits and !$'()*,-./:;?@_~ (so "&", "=", "+",
// "#", "%" and space are encoded).
std::string queryValue(std::string_view text);
// True when text can go into a query as it is: no "&", "#", "%", "+", space, control or non-ASCII.
bool plainQuerySafe(std::string_view text);
// Decimal integer text of value truncated toward zero; NaN gives 0, out-of-range values saturate.
std::string integerText(double value);
// The shortest text that reads back to the same float ("0.05").
std::string floatText(float value);
// "%1.8lf,%1.8lf": latitude, longitude.
std::string latitudeLongitudeText(const Location& location);
// "<%+.8f,%+.8f> +/- %.2fm (speed %.2f mps / course %.2f) @ " + ISO time stamp (row 4).
std::string locationDescription(const Location& location);

// Readers of answers; a value of the wrong type counts as absent.
// The JSON value of text, or nothing when it does not parse or nests too deep.
std::optional<nlohmann::json> parseJSON(std::string_view text);
// The body as text when it is UTF-8, else nothing.
std::optional<std::string> utf8Text(const std::optional<Bytes>& body);
// Integer value: integers as they are, other numbers truncated (saturating), booleans 1/0, strings
// by their leading sign and digits, everything else 0.
int64_t integerValue(const nlohmann::json& value);
// Identifier text: a string as it is, an integral number as decimal text, anything else nothing.
std::optional<std::string> identifierValue(const nlohmann::json& value);
// A member of an object, or nothing (also when object is not an object).
const nlohmann::json* member(const nlohmann::json& object, std::string_view key);

}  // namespace kivo::console
