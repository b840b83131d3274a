#include "server/console_store.h"

#include "server/secrets.h"

namespace kivo::console {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS applications(app_id TEXT PRIMARY KEY, name TEXT NOT NULL, salt TEXT NOT NULL,
  key_hash TEXT NOT NULL, pack TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS tokens(token TEXT PRIMARY KEY, app_id TEXT NOT NULL, session TEXT NOT NULL,
  expires INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS pack_versions(pack TEXT NOT NULL, version TEXT NOT NULL, file TEXT NOT NULL,
  force INTEGER NOT NULL, PRIMARY KEY(pack, version));
CREATE TABLE IF NOT EXISTS media(id TEXT PRIMARY KEY, pack TEXT NOT NULL, description TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS campaigns(id TEXT PRIMARY KEY, media_id TEXT, body TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS campaigns_by_media ON campaigns(media_id);
CREATE TABLE IF NOT EXISTS campaign_items(item_id TEXT PRIMARY KEY, campaign_id TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS bookmarks(id INTEGER PRIMARY KEY AUTOINCREMENT, session TEXT NOT NULL,
  item_id TEXT NOT NULL, userdata TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS applied(id INTEGER PRIMARY KEY AUTOINCREMENT, session TEXT NOT NULL,
  item_id TEXT NOT NULL, state TEXT NOT NULL, voucher TEXT, fields TEXT NOT NULL, created TEXT NOT NULL,
  UNIQUE(session, item_id));
CREATE TABLE IF NOT EXISTS activity(id INTEGER PRIMARY KEY AUTOINCREMENT, app_id TEXT NOT NULL,
  session TEXT NOT NULL, material_id TEXT NOT NULL, kind TEXT NOT NULL, received TEXT NOT NULL);
)sql";

nlohmann::json parsed(const std::optional<std::string>& text) {
  if (!text) return nullptr;
  return nlohmann::json::parse(*text, nullptr, false);
}

// The main item of a set: the first marked "rel": "main", else the first item.
std::optional<nlohmann::json> mainItem(const nlohmann::json& set) {
  const auto items = set.find("items");
  if (items == set.end() || !items->is_array() || items->empty()) return std::nullopt;
  for (const auto& item : *items) {
    if (item.is_object() && item.value("rel", "") == "main") return item;
  }
  return items->front();
}

}  // namespace

ConsoleStore::ConsoleStore(const std::filesystem::path& dataDir) : dataDir_(dataDir) {
  std::filesystem::create_directories(dataDir);
  MutexLock lock(mutex_);
  db_ = std::make_unique<SqlDatabase>(dataDir / "console.db");
  db_->exec(kSchema);
}

void ConsoleStore::putApplication(const Application& app, const std::string& secretKey) {
  const std::string salt = randomHex(16);
  MutexLock lock(mutex_);
  db_->run("INSERT OR REPLACE INTO applications VALUES(?1, ?2, ?3, ?4, ?5)",
           {app.appId, app.name, salt, saltedDigest(salt, secretKey), app.pack});
}

std::optional<Application> ConsoleStore::authenticate(const std::string& appId, const std::string& secretKey) {
  MutexLock lock(mutex_);
  auto s = db_->prepare("SELECT name, salt, key_hash, pack FROM applications WHERE app_id = ?1");
  s.bind({appId});
  if (!s.step() || !secretMatches(*s.text(1), *s.text(2), secretKey)) return std::nullopt;
  return Application{appId, *s.text(0), *s.text(3)};
}

std::optional<Application> ConsoleStore::application(const std::string& appId) {
  MutexLock lock(mutex_);
  auto s = db_->prepare("SELECT name, pack FROM applications WHERE app_id = ?1");
  s.bind({appId});
  if (!s.step()) return std::nullopt;
  return Application{appId, *s.text(0), *s.text(1)};
}

std::string ConsoleStore::newToken(const std::string& appId, const std::string& session, int64_t expires,
                                     int64_t now) {
  const std::string token = randomHex(24);
  MutexLock lock(mutex_);
  db_->run("DELETE FROM tokens WHERE expires <= ?1", {now});
  db_->run("INSERT INTO tokens VALUES(?1, ?2, ?3, ?4)", {token, appId, session, expires});
  return token;
}

std::optional<TokenGrant> ConsoleStore::token(const std::string& token, int64_t now) {
  MutexLock lock(mutex_);
  auto s = db_->prepare("SELECT app_id, session, expires FROM tokens WHERE token = ?1");
  s.bind({token});
  if (!s.step()) return std::nullopt;
  TokenGrant grant{*s.text(0), *s.text(1), s.integer(2)};
  if (grant.expires <= now) {
    db_->run("DELETE FROM tokens WHERE expires <= ?1", {now});
    return std::nullopt;
  }
  return grant;
}

void ConsoleStore::addPackVersion(const PackVersion& v) {
  MutexLock lock(mutex_);
  db_->run("INSERT INTO pack_versions VALUES(?1, ?2, ?3, ?4)",
           {v.pack, v.version, v.file.string(), int64_t{v.force ? 1 : 0}});
}

std::optional<PackVersion> ConsoleStore::newestVersion(const std::string& pack) {
  MutexLock lock(mutex_);
  auto s = db_->prepare("SELECT version, file, force FROM pack_versions WHERE pack = ?1 ORDER BY version DESC LIMIT 1");
  s.bind({pack});
  if (!s.step()) return std::nullopt;
  return PackVersion{pack, *s.text(0), *s.text(1), s.integer(2) != 0};
}

std::optional<PackVersion> ConsoleStore::packVersion(const std::string& pack, const std::string& version) {
  MutexLock lock(mutex_);
  auto s = db_->prepare("SELECT file, force FROM pack_versions WHERE pack = ?1 AND version = ?2");
  s.bind({pack, version});
  if (!s.step()) return std::nullopt;
  return PackVersion{pack, version, *s.text(0), s.integer(1) != 0};
}

void ConsoleStore::putMedia(const std::string& id, const std::string& pack, const nlohmann::json& description) {
  MutexLock lock(mutex_);
  db_->run("INSERT OR REPLACE INTO media VALUES(?1, ?2, ?3)", {id, pack, description.dump()});
}

std::optional<nlohmann::json> ConsoleStore::media(const std::string& id) {
  MutexLock lock(mutex_);
  auto s = db_->prepare("SELECT description FROM media WHERE id = ?1");
  s.bind({id});
  if (!s.step()) return std::nullopt;
  return parsed(s.text(0));
}

void ConsoleStore::putCampaign(const nlohmann::json& set) {
  const std::string id = set.at("_id").get<std::string>();
  const nlohmann::json mediaId = set.value("media_id", nlohmann::json());
  MutexLock lock(mutex_);
  db_->exec("BEGIN");
  try {
    db_->run("DELETE FROM campaign_items WHERE campaign_id = ?1", {id});
    db_->run("INSERT OR REPLACE INTO campaigns VALUES(?1, ?2, ?3)",
             {id, mediaId.is_string() ? SqlValue(mediaId.get<std::string>()) : SqlValue(nullptr), set.dump()});
    for (const auto& item : set.value("items", nlohmann::json::array())) {
      if (item.is_object() && item.contains("_id") && item["_id"].is_string()) {
        db_->run("INSERT OR REPLACE INTO campaign_items VALUES(?1, ?2)", {item["_id"].get<std::string>(), id});
      }
    }
    db_->exec("COMMIT");
  } catch (...) {
    db_->exec("ROLLBACK");
    throw;
  }
}

std::optional<nlohmann::json> ConsoleStore::campaignForMedia(const std::string& mediaId) {
  MutexLock lock(mutex_);
  auto s = db_->prepare("SELECT body FROM campaigns WHERE media_id = ?1 ORDER BY id LIMIT 1");
  s.bind({mediaId});
  if (!s.step()) return std::nullopt;
  return parsed(s.text(0));
}

std::optional<std::pair<nlohmann::json, nlohmann::json>> ConsoleStore::campaignItem(const std::string& id) {
  MutexLock lock(mutex_);
  auto s = db_->prepare(
      "SELECT c.body, 1 FROM campaign_items i JOIN campaigns c ON c.id = i.campaign_id WHERE i.item_id = ?1 "
      "UNION ALL SELECT body, 0 FROM campaigns WHERE id = ?1");
  s.bind({id});
  if (!s.step()) return std::nullopt;
  nlohmann::json set = parsed(s.text(0));
  if (s.integer(1) == 0) {
    auto main = mainItem(set);
    if (!main) return std::nullopt;
    return std::make_pair(set, *main);
  }
  for (const auto& item : set["items"]) {
    if (item.is_object() && item.value("_id", nlohmann::json()) == id) return std::make_pair(set, item);
  }
  return std::nullopt;
}

std::vector<nlohmann::json> ConsoleStore::campaigns(int64_t offset, int64_t size) {
  MutexLock lock(mutex_);
  auto s = db_->prepare("SELECT body FROM campaigns ORDER BY id LIMIT ?1 OFFSET ?2");
  s.bind({size, offset});
  std::vector<nlohmann::json> out;
  while (s.step()) out.push_back(parsed(s.text(0)));
  return out;
}

int64_t ConsoleStore::campaignCount() { return count("campaigns"); }

std::string ConsoleStore::addBookmark(const std::string& session, const std::string& itemId,
                                      const std::string& userdata) {
  MutexLock lock(mutex_);
  db_->run("INSERT INTO bookmarks(session, item_id, userdata) VALUES(?1, ?2, ?3)", {session, itemId, userdata});
  return std::to_string(db_->lastInsertId());
}

bool ConsoleStore::deleteBookmark(const std::string& session, const std::string& id) {
  MutexLock lock(mutex_);
  return db_->run("DELETE FROM bookmarks WHERE id = ?1 AND session = ?2", {id, session}) > 0;
}

std::optional<std::string> ConsoleStore::bookmarkOf(const std::string& session, const std::string& setId) {
  MutexLock lock(mutex_);
  auto s = db_->prepare(
      "SELECT b.id FROM bookmarks b LEFT JOIN campaign_items i ON i.item_id = b.item_id "
      "WHERE b.session = ?1 AND (b.item_id = ?2 OR i.campaign_id = ?2) ORDER BY b.id LIMIT 1");
  s.bind({session, setId});
  if (!s.step()) return std::nullopt;
  return std::to_string(s.integer(0));
}

nlohmann::json ConsoleStore::putApplied(const std::string& session, const std::string& itemId,
                                        const nlohmann::json& fields, const std::string& state,
                                        const nlohmann::json& voucher, const std::string& created) {
  MutexLock lock(mutex_);
  db_->run("INSERT OR REPLACE INTO applied(session, item_id, state, voucher, fields, created) "
           "VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
           {session, itemId, state, voucher.is_null() ? SqlValue(nullptr) : SqlValue(voucher.dump()), fields.dump(),
            created});
  return {{"_id", std::to_string(db_->lastInsertId())},
          {"target", {{"_id", itemId}}},
          {"state", state},
          {"created", created},
          {"voucher", voucher}};
}

std::optional<nlohmann::json> ConsoleStore::applied(const std::string& session, const std::string& itemId) {
  MutexLock lock(mutex_);
  auto s = db_->prepare("SELECT id, state, voucher, created FROM applied WHERE session = ?1 AND item_id = ?2");
  s.bind({session, itemId});
  if (!s.step()) return std::nullopt;
  return nlohmann::json{{"_id", std::to_string(s.integer(0))},
                        {"target", {{"_id", itemId}}},
                        {"state", *s.text(1)},
                        {"created", *s.text(3)},
                        {"voucher", parsed(s.text(2))}};
}

int64_t ConsoleStore::deleteApplied(const std::string& session) {
  MutexLock lock(mutex_);
  return db_->run("DELETE FROM applied WHERE session = ?1", {session});
}

void ConsoleStore::addActivity(const std::string& appId, const std::string& session, const std::string& materialId,
                               const std::string& kind, const std::string& received) {
  MutexLock lock(mutex_);
  db_->run("INSERT INTO activity(app_id, session, material_id, kind, received) VALUES(?1, ?2, ?3, ?4, ?5)",
           {appId, session, materialId, kind, received});
}

int64_t ConsoleStore::count(const std::string& table) {
  static const char* const known[] = {"applications", "tokens",  "pack_versions", "media",
                                      "campaigns",    "bookmarks", "applied",     "activity"};
  bool ok = false;
  for (const char* k : known) ok = ok || table == k;
  if (!ok) throw SqlError("unknown table " + table);
  MutexLock lock(mutex_);
  auto s = db_->prepare("SELECT COUNT(*) FROM " + table);
  s.step();
  return s.integer(0);
}

}  // namespace kivo::console
