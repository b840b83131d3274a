// What the endpoint handlers share: the server's parts, the request's form and caller, and JSON
// answers. A handler refuses a request by throwing Refusal; the server turns it into a JSON error.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "server/console_server.h"
#include "server/console_store.h"
#include "server/form_parser.h"
#include "server/matching_pool.h"

namespace kivo::console {

// The header that keeps a form's own content type away from cpp-httplib's multipart reader.
inline constexpr const char* kFormTypeHeader = "X-Kivo-Form-Content-Type";

struct Refusal {
  int status;
  std::string message;
};

struct RouteContext {
  const ConsoleOptions& options;
  ConsoleStore& store;
  MatchingPool& pool;
  bool https;
  int port;

  int64_t now() const;
  // "scheme://host:port" + base path, for URLs handed to clients.
  std::string publicBase(const httplib::Request& request) const;
  // The request's form: its body's fields, then its URL query's. Throws Refusal 400.
  Form form(const httplib::Request& request) const;
  // The application named by "X-Kivo-Application-Id" and "X-Kivo-Secret-Key". Throws Refusal 401.
  Application byCredentials(const httplib::Request& request) const;
  // The application of the "authorization" token (raw or "Bearer "), else of the credentials.
  Application byTokenOrCredentials(const httplib::Request& request) const;
};

// A field that must be present and non-empty; throws Refusal 400 naming it.
std::string requiredField(const Form& form, const std::string& name);
// ISO time stamp "yyyy-MM-dd'T'HH:mm:ss+0000" of seconds since 1970.
std::string isoTime(int64_t seconds);
void answerJSON(httplib::Response& response, int status, const nlohmann::json& body);

using RouteHandler = std::function<void(const httplib::Request&, httplib::Response&)>;
// Registers handler for method and a path pattern below the base path, under an endpoint name
// (the name faults use).
using RouteAdder =
    std::function<void(const std::string& method, const std::string& pattern, const std::string& endpoint, RouteHandler)>;

void addPackRoutes(const RouteContext& context, const RouteAdder& add);
void addQueryRoutes(const RouteContext& context, const RouteAdder& add);
void addCampaignRoutes(const RouteContext& context, const RouteAdder& add);
void addActivityRoutes(const RouteContext& context, const RouteAdder& add);

}  // namespace kivo::console
