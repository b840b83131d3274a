// Authentication, update checks and pack downloads.
#include <algorithm>
#include <fstream>

#include "server/route_support.h"

namespace kivo::console {
namespace {

bool isVersion(const std::string& v) {
  return v.size() == 14 && std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string downloadURL(const RouteContext& c, const httplib::Request& request, const PackVersion& v,
                        const std::string& token) {
  return c.publicBase(request) + "/packs/" + v.pack + "/" + v.version + ".pack?token=" + token;
}

void auth(const RouteContext& c, const httplib::Request& request, httplib::Response& response) {
  const Form form = c.form(request);
  const std::string appId = requiredField(form, "app_id");
  const std::string key = requiredField(form, "secret_key");
  const std::string session = requiredField(form, "session_id");
  const std::string have = form.field("v").value_or("19990101000000");
  if (!isVersion(have)) throw Refusal{400, "field \"v\" must be 14 digits (yyyyMMddHHmmss)"};
  auto app = c.store.authenticate(appId, key);
  if (!app) throw Refusal{401, "wrong application id or secret key"};

  const std::string token = c.store.newToken(app->appId, session, c.now() + c.options.tokenLifetimeSeconds, c.now());
  nlohmann::json answer = {{"token", token}, {"v", have}, {"updated", 0}, {"force_update", 0}, {"url", nullptr}};
  if (auto newest = app->pack.empty() ? std::nullopt : c.store.newestVersion(app->pack)) {
    if (newest->version > have) {
      answer["updated"] = 1;
      answer["force_update"] = newest->force ? 1 : 0;
      answer["v"] = newest->version;
      answer["url"] = downloadURL(c, request, *newest, token);
    }
  }
  answerJSON(response, 200, answer);
}

void download(const RouteContext& c, const httplib::Request& request, httplib::Response& response) {
  const std::string pack = request.matches[1];
  const std::string version = request.matches[2];
  auto grant = c.store.token(request.get_param_value("token"), c.now());
  if (!grant) throw Refusal{401, "token unknown or expired"};
  auto app = c.store.application(grant->appId);
  if (!app || app->pack != pack) throw Refusal{404, "no such pack for this application"};
  auto v = c.store.packVersion(pack, version);
  if (!v) throw Refusal{404, "no such pack version"};
  auto file = std::make_shared<std::ifstream>(v->file, std::ios::binary);
  std::error_code error;
  const auto size = std::filesystem::file_size(v->file, error);
  if (!*file || error) throw Refusal{500, "pack file missing"};
  // Streamed in pieces: a pack of a hundred hours is about 90 MiB.
  response.status = 200;
  response.set_content_provider(size, "application/octet-stream",
                                [file](size_t offset, size_t length, httplib::DataSink& sink) {
                                  char buffer[64 * 1024];
                                  const size_t n = std::min(length, sizeof buffer);
                                  file->seekg(std::streamoff(offset));
                                  if (!file->read(buffer, std::streamsize(n))) return false;
                                  return sink.write(buffer, n);
                                });
}

void updateAfp(const RouteContext& c, const httplib::Request& request, httplib::Response& response) {
  const Application app = c.byTokenOrCredentials(request);
  const Form form = c.form(request);
  requiredField(form, "session");
  auto newest = app.pack.empty() ? std::nullopt : c.store.newestVersion(app.pack);
  if (!newest) throw Refusal{404, "no pack published for this application"};
  // Downloads need a token: the caller's own, or a fresh one for a caller with credentials.
  std::string token = request.get_header_value("authorization");
  if (token.rfind("Bearer ", 0) == 0) token = token.substr(7);
  if (token.empty()) token = c.store.newToken(app.appId, *form.field("session"), c.now() + c.options.tokenLifetimeSeconds, c.now());
  response.status = 200;
  response.set_content(downloadURL(c, request, *newest, token), "text/plain");
}

}  // namespace

void addPackRoutes(const RouteContext& c, const RouteAdder& add) {
  add("POST", "/auth", "auth", [&c](const auto& q, auto& r) { auth(c, q, r); });
  add("GET", R"(/packs/([A-Za-z0-9_.-]+)/([0-9]{14})\.pack)", "download",
      [&c](const auto& q, auto& r) { download(c, q, r); });
  add("POST", "/v1_prefix/update_afp", "update_afp", [&c](const auto& q, auto& r) { updateAfp(c, q, r); });
}

}  // namespace kivo::console
