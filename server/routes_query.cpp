// Cloud, live and query-service recognition: the "afp" part matched on the worker pool against
// the caller's pack.
#include <charconv>

#include "server/route_support.h"

namespace kivo::console {
namespace {

// The media's description with its "_id" and, when it has a campaign, "items" holding it.
nlohmann::json mediaResult(const RouteContext& c, const KIVOMatchResult& best) {
  nlohmann::json result = c.store.media(best.name()).value_or(best.metadata());
  if (!result.is_object()) result = nlohmann::json::object();
  result["_id"] = best.name();
  if (auto campaign = c.store.campaignForMedia(best.name())) result["items"] = nlohmann::json::array({*campaign});
  return result;
}

void query(const RouteContext& c, const httplib::Request& request, httplib::Response& response) {
  const Application app = c.byTokenOrCredentials(request);
  const Form form = c.form(request);
  const bool live = !form.find("session") && form.find("session_id");
  requiredField(form, live ? "session_id" : "session");
  if (auto cutoff = form.field("cutoff")) {
    long value = 0;
    auto [end, ec] = std::from_chars(cutoff->data(), cutoff->data() + cutoff->size(), value);
    if (ec != std::errc() || end != cutoff->data() + cutoff->size()) {
      throw Refusal{400, "field \"cutoff\" must be a decimal integer"};
    }
  }
  const FormPart* afp = form.find("afp");
  if (!afp || !afp->filename) throw Refusal{400, "file part \"afp\" is required"};
  if (afp->value.size() > c.options.maxAfpBytes) throw Refusal{413, "file part \"afp\" is too large"};
  if (afp->value.empty() || afp->value.size() % 8 != 0) {
    throw Refusal{400, "file part \"afp\" must hold whole 8-byte words"};
  }

  auto version = app.pack.empty() ? std::nullopt : c.store.newestVersion(app.pack);
  if (!version) {
    answerJSON(response, 200, {{"success", 0}});
    return;
  }
  Bytes words(afp->value.begin(), afp->value.end());
  auto outcome = c.pool.match(*version, std::move(words), c.options.matchTimeout);
  switch (outcome.status) {
    case MatchingPool::Status::kBusy:
      response.set_header("Retry-After", "1");
      throw Refusal{503, "matching is busy, try again"};
    case MatchingPool::Status::kTimedOut:
      throw Refusal{503, "matching took too long"};
    case MatchingPool::Status::kNoPack:
      throw Refusal{500, "the pack of this application cannot be loaded"};
    case MatchingPool::Status::kMatched:
      break;
  }
  if (outcome.results.empty() || outcome.results.front().score() > c.options.acceptScore) {
    answerJSON(response, 200, {{"success", 0}});
    return;
  }
  const KIVOMatchResult& best = outcome.results.front();
  nlohmann::json answer = {{"success", 1},
                           {"result", mediaResult(c, best)},
                           {"duration", best.duration()},
                           {"position", double(best.position()) / 1000.0},
                           {"score", best.score()}};
  if (live) {
    const auto& result = answer["result"];
    answer["channel"] = result.contains("channel") && result["channel"].is_string() ? result["channel"] : result["_id"];
  }
  answerJSON(response, 200, answer);
}

}  // namespace

void addQueryRoutes(const RouteContext& c, const RouteAdder& add) {
  add("POST", "/query", "query", [&c](const auto& q, auto& r) { query(c, q, r); });
}

}  // namespace kivo::console
