// ConsoleConfiguration: what every console client reads at the moment it sends: the credentials,
// the base URL, the API version and the current token. Thread-safe; every accessor returns a copy.
//
// Clients that cache credential or token headers compare credentialsVersion() with the value they
// built them at and rebuild when it moved, so a changed token or secret reaches the next request.
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

class KIVO_API ConsoleConfiguration {
 public:
  // Default console base URL: the host part lies under the reserved, unresolvable domain
  // ".invalid", so nothing (credentials included) leaves the device until the host sets its own.
  static constexpr std::string_view kDefaultAPIEndpoint = "https://console.invalid/api";
  static constexpr int32_t kDefaultAPIVersion = 3;

  // The process-wide configuration, the one the manager singleton forwards to.
  static const std::shared_ptr<ConsoleConfiguration>& shared();
  // A configuration of its own with the defaults.
  static std::shared_ptr<ConsoleConfiguration> create();

  ConsoleConfiguration(const ConsoleConfiguration&) = delete;
  ConsoleConfiguration& operator=(const ConsoleConfiguration&) = delete;

  std::optional<std::string> applicationID() const;
  void setApplicationID(std::optional<std::string> value);
  std::optional<std::string> secretKey() const;
  void setSecretKey(std::optional<std::string> value);

  // Prefix of every console URL, without trailing slash.
  std::string apiEndpoint() const;
  void setApiEndpoint(std::string value);

  // 1: legacy mode (credential headers); any other value: token mode.
  int32_t apiVersion() const;
  void setApiVersion(int32_t value);

  // The console token from the latest authentication; nothing when none is held. An empty text
  // counts as none.
  std::optional<std::string> token() const;
  void setToken(std::optional<std::string> value);

  // Moves on every change of applicationID, secretKey or token (a write of the same value
  // included).
  uint64_t credentialsVersion() const;

  // apiEndpoint followed directly by suffix: no separator inserted, no encoding applied.
  std::string apiURLWithSuffix(std::string_view suffix) const;

 private:
  ConsoleConfiguration() = default;

  mutable Mutex mutex_;
  std::optional<std::string> applicationID_ KIVO_GUARDED_BY(mutex_);
  std::optional<std::string> secretKey_ KIVO_GUARDED_BY(mutex_);
  std::string apiEndpoint_ KIVO_GUARDED_BY(mutex_){kDefaultAPIEndpoint};
  std::optional<std::string> token_ KIVO_GUARDED_BY(mutex_);
  std::atomic<int32_t> apiVersion_{kDefaultAPIVersion};
  std::atomic<uint64_t> credentialsVersion_{0};
};

}  // namespace kivo
