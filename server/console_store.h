// The console's records in SQLite ("console.db" in the data folder): applications (secret keys
// hashed), tokens, pack versions, media descriptions, campaigns, bookmarks, applied promotions and
// activity reports. Thread-safe: every call holds the store's lock; SQL failures throw SqlError.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kivo/thread_annotations.h"
#include "server/sqlite_db.h"

namespace kivo::console {

struct Application {
  std::string appId;
  std::string name;
  std::string pack;  // the pack its devices download and its queries match against; "" for none
};

struct TokenGrant {
  std::string appId;
  std::string session;
  int64_t expires = 0;  // seconds since 1970
};

struct PackVersion {
  std::string pack;
  std::string version;  // 14 digits, yyyyMMddHHmmss UTC
  std::filesystem::path file;
  bool force = false;
};

class ConsoleStore {
 public:
  explicit ConsoleStore(const std::filesystem::path& dataDir);

  const std::filesystem::path& dataDir() const { return dataDir_; }

  // ---- Applications and tokens ----
  void putApplication(const Application& app, const std::string& secretKey);
  // The application when appId exists and secretKey is its key.
  std::optional<Application> authenticate(const std::string& appId, const std::string& secretKey);
  std::optional<Application> application(const std::string& appId);
  // A new token; tokens expired by now are removed.
  std::string newToken(const std::string& appId, const std::string& session, int64_t expires, int64_t now);
  // The grant of an unexpired token; expired tokens are removed when met.
  std::optional<TokenGrant> token(const std::string& token, int64_t now);

  // ---- Packs and media ----
  void addPackVersion(const PackVersion& version);
  std::optional<PackVersion> newestVersion(const std::string& pack);
  std::optional<PackVersion> packVersion(const std::string& pack, const std::string& version);
  void putMedia(const std::string& id, const std::string& pack, const nlohmann::json& description);
  std::optional<nlohmann::json> media(const std::string& id);

  // ---- Campaigns ----
  // A promotion set ("_id", "media_id", "items" with their own "_id").
  void putCampaign(const nlohmann::json& set);
  std::optional<nlohmann::json> campaignForMedia(const std::string& mediaId);
  // The set and the item an id names: an item id, or a set id standing for its main item.
  std::optional<std::pair<nlohmann::json, nlohmann::json>> campaignItem(const std::string& id);
  std::vector<nlohmann::json> campaigns(int64_t offset, int64_t size);
  int64_t campaignCount();

  // ---- Per-session records ----
  std::string addBookmark(const std::string& session, const std::string& itemId, const std::string& userdata);
  bool deleteBookmark(const std::string& session, const std::string& id);
  std::optional<std::string> bookmarkOf(const std::string& session, const std::string& setId);
  // Records (replacing) the applied state of an item for a session; returns the state object.
  nlohmann::json putApplied(const std::string& session, const std::string& itemId, const nlohmann::json& fields,
                            const std::string& state, const nlohmann::json& voucher, const std::string& created);
  std::optional<nlohmann::json> applied(const std::string& session, const std::string& itemId);
  int64_t deleteApplied(const std::string& session);
  void addActivity(const std::string& appId, const std::string& session, const std::string& materialId,
                   const std::string& kind, const std::string& received);

  // Rows in a table (tests and the command line).
  int64_t count(const std::string& table);

 private:
  std::filesystem::path dataDir_;
  Mutex mutex_;
  std::unique_ptr<SqlDatabase> db_ KIVO_PT_GUARDED_BY(mutex_);
};

}  // namespace kivo::console
