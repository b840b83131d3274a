// KIVOManager: the object the host application talks to, a process-wide singleton.
//
// This header holds its configuration: the console credentials, the console base URL, the API
// version and the library-wide debug flag. The host sets them before preparing; the library reads
// them from any thread. Every accessor is thread-safe and returns a copy. All but the debug flag
// live in the manager's ConsoleConfiguration.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kivo/console_configuration.h"
#include "kivo/export.h"

namespace kivo {

class KIVO_API KIVOManager {
 public:
  // Default console base URL (see ConsoleConfiguration).
  static constexpr std::string_view kDefaultAPIEndpoint = ConsoleConfiguration::kDefaultAPIEndpoint;
  static constexpr int32_t kDefaultAPIVersion = ConsoleConfiguration::kDefaultAPIVersion;

  // The singleton, created on first use (thread-safe); its configuration is
  // ConsoleConfiguration::shared().
  static KIVOManager& sharedManager();
  // An instance of its own with the defaults and a configuration of its own, independent of the
  // singleton (tests). The debug flag stays library-wide.
  static std::unique_ptr<KIVOManager> makeIndependent();

  KIVOManager(const KIVOManager&) = delete;
  KIVOManager& operator=(const KIVOManager&) = delete;

  // Console credentials; no defaults. Sent at authentication and in credential headers.
  std::optional<std::string> applicationID() const;
  void setApplicationID(std::optional<std::string> value);
  std::optional<std::string> secretKey() const;
  void setSecretKey(std::optional<std::string> value);

  // Prefix of every console URL, without trailing slash. Default kDefaultAPIEndpoint.
  std::string apiEndpoint() const;
  void setApiEndpoint(std::string value);

  // 1: legacy mode (credential headers, no preparation); any other value: token mode.
  int32_t apiVersion() const;
  void setApiVersion(int32_t value);

  // The library-wide debug flag: turns on the console lines marked debug. Default false.
  bool debugMode() const;
  void setDebugMode(bool value);

  // apiEndpoint followed directly by suffix: no separator inserted, no encoding applied.
  std::string apiURLWithSuffix(std::string_view suffix) const;

  // The record the accessors above forward to; console clients are built on it.
  const std::shared_ptr<ConsoleConfiguration>& consoleConfiguration() const { return configuration_; }

 private:
  explicit KIVOManager(std::shared_ptr<ConsoleConfiguration> configuration);

  const std::shared_ptr<ConsoleConfiguration> configuration_;
};

}  // namespace kivo
