// KIVOManager: the object the host application talks to, a process-wide singleton.
//
// This header holds its configuration: the console credentials, the console base URL, the API
// version and the library-wide debug flag. The host sets them before preparing; the library reads
// them from any thread. Every accessor is thread-safe and returns a copy.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kivo/export.h"
#include "kivo/thread_annotations.h"

namespace kivo {

class KIVO_API KIVOManager {
 public:
  // Default console base URL. The host part lies under the reserved, unresolvable domain
  // ".invalid" on purpose: nothing (credentials included) leaves the device until the host sets
  // its own apiEndpoint.
  static constexpr std::string_view kDefaultAPIEndpoint = "https://console.invalid/api";
  static constexpr int32_t kDefaultAPIVersion = 3;

  // The singleton, created on first use (thread-safe).
  static KIVOManager& sharedManager();
  // An instance of its own with the defaults, independent of the singleton (tests). The debug
  // flag stays library-wide.
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

 private:
  KIVOManager();

  mutable Mutex configurationMutex_;
  std::optional<std::string> applicationID_ KIVO_GUARDED_BY(configurationMutex_);
  std::optional<std::string> secretKey_ KIVO_GUARDED_BY(configurationMutex_);
  std::string apiEndpoint_ KIVO_GUARDED_BY(configurationMutex_){kDefaultAPIEndpoint};
  std::atomic<int32_t> apiVersion_{kDefaultAPIVersion};
};

}  // namespace kivo
