// Activity reports: the immediate form {"type": "material", "material_id"} with a bearer token, and
// the queued form {"app_id", "secret_key", "session", "data": {"material_id"}}. The answer carries
// the campaign of the media, or null.
#include "platform/json_depth.h"
#include "server/route_support.h"

namespace kivo::console {
namespace {

void activity(const RouteContext& c, const httplib::Request& request, httplib::Response& response) {
  if (!jsonDepthWithin(request.body)) throw Refusal{400, "body nests too deep"};
  const nlohmann::json doc = nlohmann::json::parse(request.body, nullptr, false);
  if (!doc.is_object()) throw Refusal{400, "body must be a JSON object"};

  std::string appId, session, material;
  // Strings, and ids sent back as the integral numbers they may have been given as.
  auto text = [](const nlohmann::json& o, const char* key) {
    if (!o.contains(key)) return std::string();
    if (o[key].is_string()) return o[key].get<std::string>();
    if (o[key].is_number_integer()) return o[key].dump();
    return std::string();
  };
  if (doc.contains("data")) {
    const std::string id = text(doc, "app_id");
    auto app = c.store.authenticate(id, text(doc, "secret_key"));
    if (!app) throw Refusal{401, "wrong application id or secret key"};
    appId = app->appId;
    session = text(doc, "session");
    if (doc["data"].is_object()) material = text(doc["data"], "material_id");
  } else {
    std::string token = request.get_header_value("authorization");
    if (token.rfind("Bearer ", 0) == 0) token = token.substr(7);
    auto grant = c.store.token(token, c.now());
    if (!grant) throw Refusal{401, "token unknown or expired"};
    appId = grant->appId;
    session = grant->session;
    if (text(doc, "type") != "material") throw Refusal{400, "\"type\" must be \"material\""};
    material = text(doc, "material_id");
  }
  if (material.empty()) throw Refusal{400, "\"material_id\" is required"};
  if (!c.store.media(material)) throw Refusal{404, "no media \"" + material + "\""};
  c.store.addActivity(appId, session, material, doc.contains("data") ? "queued" : "immediate", isoTime(c.now()));
  answerJSON(response, 200, {{"campaign", c.store.campaignForMedia(material).value_or(nullptr)}});
}

}  // namespace

void addActivityRoutes(const RouteContext& c, const RouteAdder& add) {
  add("POST", "/activity/?", "activity", [&c](const auto& q, auto& r) { activity(c, q, r); });
}

}  // namespace kivo::console
