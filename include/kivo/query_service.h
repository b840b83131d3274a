// DOQueryService: sends one fingerprint to the console's query endpoint (row 6) outside the
// recognition loop and hands the raw answer text to a delegate, with an opaque value that travels
// with the request (it is never sent).
//
// The URL is the configuration's apiEndpoint followed by "/query" at the moment of the call;
// the credentials are those given at creation. A call without a session sends nothing and makes
// the callback at once with no result, no error and the opaque value. Any status is handed on as
// text with no error; a transport error arrives as the error. Callbacks run on the main queue;
// a released service, or a released delegate, gets none. Queries may overlap, from any thread.
#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "kivo/bytes.h"
#include "kivo/console_configuration.h"
#include "kivo/error.h"
#include "kivo/export.h"
#include "kivo/http.h"
#include "kivo/location.h"
#include "kivo/thread_annotations.h"

namespace kivo {

class DOQueryService;

class KIVO_API DOQueryServiceDelegate {
 public:
  virtual ~DOQueryServiceDelegate() = default;
  // Optional: the default does nothing.
  virtual void queryServiceAfpResult(DOQueryService& service, const std::optional<std::string>& result,
                                     const std::optional<Error>& error, const std::any& userData);
};

class KIVO_API DOQueryService : public std::enable_shared_from_this<DOQueryService> {
 public:
  static std::shared_ptr<DOQueryService> create(std::shared_ptr<ConsoleConfiguration> configuration,
                                                std::string hostName, std::string apiPath,
                                                std::string applicationID, std::string secretKey,
                                                std::weak_ptr<DOQueryServiceDelegate> delegate);
  DOQueryService(const DOQueryService&) = delete;
  DOQueryService& operator=(const DOQueryService&) = delete;

  // Fields "session", "cutoff" (decimal) and, with a location, "loc" = "%1.8lf,%1.8lf" (latitude,
  // longitude); file part "afp" holding data unchanged. A location with a coordinate that is not
  // finite is left out.
  void sendData(const Bytes& data, const std::optional<std::string>& session, int32_t cutoff, std::any userData,
                const std::optional<Location>& location = std::nullopt);

  // {"session": session}.
  static FormParameters basicParametersWithSession(const std::string& session);
  // "%1.8lf,%1.8lf" with latitude then longitude, in the C locale.
  static std::string locationText(const Location& location);
  // The JSON value of text, or nothing when it does not parse (or nests too deep).
  static std::optional<nlohmann::json> parseJSONString(std::string_view text);

  // Held weakly. Any thread.
  std::shared_ptr<DOQueryServiceDelegate> delegate() const;
  void setDelegate(std::weak_ptr<DOQueryServiceDelegate> delegate);
  const std::string& host() const { return host_; }
  const std::string& apiPath() const { return apiPath_; }
  const std::shared_ptr<KIVOHTTP>& http() const { return http_; }
  const std::shared_ptr<ConsoleConfiguration>& configuration() const { return configuration_; }

 private:
  DOQueryService(std::shared_ptr<ConsoleConfiguration> configuration, std::string hostName, std::string apiPath,
                 std::string applicationID, std::string secretKey, std::weak_ptr<DOQueryServiceDelegate> delegate);

  const std::shared_ptr<ConsoleConfiguration> configuration_;
  const std::string host_;
  const std::string apiPath_;
  const std::shared_ptr<KIVOHTTP> http_;
  mutable Mutex delegateMutex_;
  std::weak_ptr<DOQueryServiceDelegate> delegate_ KIVO_GUARDED_BY(delegateMutex_);
};

}  // namespace kivo
