#include "server/route_support.h"

#include <cctype>
#include <chrono>

#include "kivo/dates.h"

namespace kivo::console {
namespace {

bool plainHost(const std::string& host) {
  if (host.empty() || host.size() > 255) return false;
  for (char c : host) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != ':' && c != '[' && c != ']') {
      return false;
    }
  }
  return true;
}

}  // namespace

int64_t RouteContext::now() const {
  if (options.now) return options.now();
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string RouteContext::publicBase(const httplib::Request& request) const {
  if (!options.publicURL.empty()) return options.publicURL + options.basePath;
  std::string host = request.get_header_value("Host");
  if (!plainHost(host)) host = "127.0.0.1:" + std::to_string(port);
  return std::string(https ? "https://" : "http://") + host + options.basePath;
}

Form RouteContext::form(const httplib::Request& request) const {
  FormResult parsed = parseForm(request.get_header_value(kFormTypeHeader), request.body, options.formLimits);
  if (!parsed.form) throw Refusal{400, parsed.error};
  // Fields of the URL query follow the body's (GET requests carry only these).
  Form out = std::move(*parsed.form);
  for (const auto& [key, value] : request.params) {
    if (out.parts().size() >= options.formLimits.maxParts) throw Refusal{400, "form has too many fields"};
    out.add(key, value);
  }
  return out;
}

Application RouteContext::byCredentials(const httplib::Request& request) const {
  const std::string appId = request.get_header_value("X-Kivo-Application-Id");
  const std::string key = request.get_header_value("X-Kivo-Secret-Key");
  if (appId.empty() || key.empty()) throw Refusal{401, "application credentials required"};
  auto app = store.authenticate(appId, key);
  if (!app) throw Refusal{401, "wrong application id or secret key"};
  return *app;
}

Application RouteContext::byTokenOrCredentials(const httplib::Request& request) const {
  std::string token = request.get_header_value("authorization");
  if (token.empty()) return byCredentials(request);
  if (token.rfind("Bearer ", 0) == 0) token = token.substr(7);
  auto grant = store.token(token, now());
  if (!grant) throw Refusal{401, "token unknown or expired"};
  auto app = store.application(grant->appId);
  if (!app) throw Refusal{401, "token of a removed application"};
  return *app;
}

std::string requiredField(const Form& form, const std::string& name) {
  auto value = form.field(name);
  if (!value || value->empty()) throw Refusal{400, "field \"" + name + "\" is required"};
  return *value;
}

std::string isoTime(int64_t seconds) {
  return formatDate(Date(std::chrono::seconds(seconds)), "yyyy-MM-dd'T'HH:mm:ssZZZ", DateZone::UTC);
}

void answerJSON(httplib::Response& response, int status, const nlohmann::json& body) {
  response.status = status;
  response.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "application/json");
}

}  // namespace kivo::console
