// Promotions, applications, bookmarks and applied states, per session, for callers with the
// application's credentials.
#include <charconv>

#include "server/route_support.h"
#include "server/secrets.h"

namespace kivo::console {
namespace {

int64_t integerParameter(const Form& form, const std::string& name, int64_t fallback, int64_t lo, int64_t hi) {
  auto text = form.field(name);
  if (!text) return fallback;
  int64_t v = 0;
  auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), v);
  if (ec != std::errc() || end != text->data() + text->size() || v < lo || v > hi) {
    throw Refusal{400, "field \"" + name + "\" must be an integer from " + std::to_string(lo) + " to " +
                           std::to_string(hi)};
  }
  return v;
}

// Checks "userdata" (a JSON object) against the fields the item requires.
nlohmann::json checkedUserdata(const Form& form, const nlohmann::json& item) {
  nlohmann::json userdata = nlohmann::json::object();
  if (auto text = form.field("userdata")) {
    userdata = nlohmann::json::parse(*text, nullptr, false);
    if (!userdata.is_object()) throw Refusal{400, "field \"userdata\" must be a JSON object"};
  }
  if (item.contains("required") && item["required"].is_array()) {
    for (const auto& name : item["required"]) {
      if (name.is_string() && !userdata.contains(name.get<std::string>())) {
        throw Refusal{400, "field \"userdata\" lacks required user field \"" + name.get<std::string>() + "\""};
      }
    }
  }
  return userdata;
}

void apply(const RouteContext& c, const httplib::Request& request, httplib::Response& response) {
  c.byCredentials(request);
  const Form form = c.form(request);
  const std::string session = requiredField(form, "session");
  const std::string promoId = requiredField(form, "promo_id");
  auto found = c.store.campaignItem(promoId);
  if (!found) throw Refusal{404, "no promotion \"" + promoId + "\""};
  const auto& [set, item] = *found;
  const nlohmann::json userdata = checkedUserdata(form, item);

  const std::string type = item.value("type", "");
  std::string state = "unknown";
  nlohmann::json voucher = nullptr;
  if (type == "quiz") {
    state = form.field("is_correct") == "1" ? "win" : "lose";
  } else if (type == "voucher") {
    state = "win";
    voucher = {{"code", randomHex(5)},
               {"start_date", set.value("start_date", nlohmann::json())},
               {"end_date", set.value("end_date", nlohmann::json())},
               {"where", item.value("where", nlohmann::json())},
               {"how", item.value("how", nlohmann::json())}};
  }
  const nlohmann::json fields = {{"media_id", form.field("media_id").value_or("")},
                                 {"answer", form.field("answer").value_or("")},
                                 {"userdata", userdata}};
  const std::string itemId = item.value("_id", promoId);
  answerJSON(response, 200, c.store.putApplied(session, itemId, fields, state, voucher, isoTime(c.now())));
}

void list(const RouteContext& c, const httplib::Request& request, httplib::Response& response) {
  c.byCredentials(request);
  const Form form = c.form(request);
  const std::string session = requiredField(form, "session");
  const int64_t size = integerParameter(form, "size", 20, 1, 100);
  const int64_t offset = integerParameter(form, "offset", 0, 0, INT32_MAX);
  nlohmann::json promotions = nlohmann::json::array();
  for (auto set : c.store.campaigns(offset, size)) {
    const std::string id = set.value("_id", "");
    set["state"] = nullptr;
    for (const auto& item : set.value("items", nlohmann::json::array())) {
      if (!item.is_object() || !item.contains("_id") || !item["_id"].is_string()) continue;
      if (auto state = c.store.applied(session, item["_id"].get<std::string>())) {
        set["state"] = *state;
        break;
      }
    }
    auto bookmark = c.store.bookmarkOf(session, id);
    set["bookmark"] = bookmark ? nlohmann::json(*bookmark) : nlohmann::json(nullptr);
    promotions.push_back(std::move(set));
  }
  answerJSON(response, 200,
             {{"promotions", promotions}, {"total", c.store.campaignCount()}, {"size", size}, {"offset", offset}});
}

void state(const RouteContext& c, const httplib::Request& request, httplib::Response& response) {
  c.byCredentials(request);
  const Form form = c.form(request);
  const std::string session = requiredField(form, "session");
  const std::string id = request.matches[1];
  auto found = c.store.campaignItem(id);
  if (!found) throw Refusal{404, "no promotion \"" + id + "\""};
  auto applied = c.store.applied(session, found->second.value("_id", id));
  if (!applied) throw Refusal{404, "no application of \"" + id + "\" in this session"};
  answerJSON(response, 200, *applied);
}

void bookmark(const RouteContext& c, const httplib::Request& request, httplib::Response& response) {
  c.byCredentials(request);
  const Form form = c.form(request);
  const std::string session = requiredField(form, "session");
  const std::string itemId = requiredField(form, "item_id");
  if (!c.store.campaignItem(itemId)) throw Refusal{404, "no promotion \"" + itemId + "\""};
  answerJSON(response, 200, {{"bookmark", c.store.addBookmark(session, itemId, form.field("userdata").value_or(""))}});
}

void unbookmark(const RouteContext& c, const httplib::Request& request, httplib::Response& response) {
  c.byCredentials(request);
  const Form form = c.form(request);
  const std::string session = requiredField(form, "session");
  const std::string id = request.matches[1];
  if (!c.store.deleteBookmark(session, id)) throw Refusal{404, "no bookmark \"" + id + "\" in this session"};
  answerJSON(response, 200, nlohmann::json::object());
}

void clearState(const RouteContext& c, const httplib::Request& request, httplib::Response& response) {
  c.byCredentials(request);
  const Form form = c.form(request);
  answerJSON(response, 200, {{"deleted", c.store.deleteApplied(requiredField(form, "session"))}});
}

}  // namespace

void addCampaignRoutes(const RouteContext& c, const RouteAdder& add) {
  add("POST", "/promotion", "promotion", [&c](const auto& q, auto& r) { apply(c, q, r); });
  add("GET", "/promotion", "promotion", [&c](const auto& q, auto& r) { list(c, q, r); });
  add("GET", "/promotion/([^/]+)", "promotion", [&c](const auto& q, auto& r) { state(c, q, r); });
  add("POST", "/bookmark", "bookmark", [&c](const auto& q, auto& r) { bookmark(c, q, r); });
  add("DELETE", "/bookmark/([^/]+)", "bookmark", [&c](const auto& q, auto& r) { unbookmark(c, q, r); });
  add("DELETE", "/state", "state", [&c](const auto& q, auto& r) { clearState(c, q, r); });
}

}  // namespace kivo::console
