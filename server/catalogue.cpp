#include "server/catalogue.h"

#include <fstream>
#include <regex>
#include <stdexcept>

#include "kivo/kivo_matcher.h"
#include "platform/json_depth.h"

namespace kivo::console {
namespace {

[[noreturn]] void refuse(const std::string& why) { throw std::runtime_error(why); }

void checkPackName(const std::string& pack) {
  static const std::regex name("[A-Za-z0-9_.-]{1,64}");
  if (!std::regex_match(pack, name) || pack == "." || pack == "..") {
    refuse("pack name \"" + pack + "\" must be 1 to 64 letters, digits, '_', '.' or '-'");
  }
}

std::string text(const nlohmann::json& o, const char* key, const std::string& where) {
  if (!o.is_object() || !o.contains(key) || !o[key].is_string() || o[key].get<std::string>().empty()) {
    refuse(where + ": \"" + key + "\" must be a non-empty string");
  }
  return o[key].get<std::string>();
}

}  // namespace

PackVersion publishPack(ConsoleStore& store, const std::filesystem::path& packFile, const std::string& pack,
                        bool force, Date now) {
  checkPackName(pack);
  auto matcher = KIVOMatcher::create();
  matcher->beginAdd();
  const bool loaded = matcher->addAudioPackWithPath(packFile);
  matcher->finishAdd();
  if (!loaded) refuse(packFile.string() + ": not a readable audio pack");

  std::string version = VersionStringFromDate(now);
  if (auto newest = store.newestVersion(pack)) {
    while (version <= newest->version) version = VersionStringFromDate(now += std::chrono::seconds(1));
  }
  const auto dir = store.dataDir() / "packs" / pack;
  std::filesystem::create_directories(dir);
  const auto target = dir / (version + ".pack");
  const auto partial = dir / (version + ".pack.partial");
  std::filesystem::copy_file(packFile, partial, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::rename(partial, target);

  const nlohmann::json metadata = matcher->metadata();
  if (metadata.contains("media") && metadata["media"].is_object()) {
    for (const auto& [id, description] : metadata["media"].items()) store.putMedia(id, pack, description);
  }
  PackVersion v{pack, version, target, force};
  store.addPackVersion(v);
  return v;
}

void seedStore(ConsoleStore& store, const std::filesystem::path& seedFile, Date now) {
  std::ifstream in(seedFile);
  if (!in) refuse(seedFile.string() + ": cannot read");
  const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!jsonDepthWithin(body)) refuse(seedFile.string() + ": nests too deep");
  const nlohmann::json seed = nlohmann::json::parse(body, nullptr, false);
  if (!seed.is_object()) refuse(seedFile.string() + ": not a JSON object");
  const std::string where = seedFile.filename().string();

  // Check everything first, so that a bad seed changes nothing.
  auto list = [&](const char* key) {
    if (!seed.contains(key)) return nlohmann::json::array();
    if (!seed[key].is_array()) refuse(where + ": \"" + key + "\" must be a list");
    return seed[key];
  };
  const auto apps = list("applications"), packs = list("packs"), campaigns = list("campaigns");
  for (const auto& a : apps) {
    text(a, "app_id", where), text(a, "secret_key", where);
    if (a.contains("pack")) checkPackName(text(a, "pack", where));
  }
  for (const auto& p : packs) checkPackName(text(p, "name", where)), text(p, "file", where);
  for (const auto& c : campaigns) {
    text(c, "_id", where);
    if (c.contains("items") && !c["items"].is_array()) refuse(where + ": campaign \"items\" must be a list");
  }
  if (seed.contains("media")) {
    if (!seed["media"].is_object()) refuse(where + ": \"media\" must be an object");
    for (const auto& [id, description] : seed["media"].items()) {
      if (!description.is_object()) refuse(where + ": media \"" + id + "\" must be an object");
    }
  }

  for (const auto& p : packs) {
    const std::string name = p["name"];
    if (store.newestVersion(name)) continue;
    std::filesystem::path file = p["file"].get<std::string>();
    if (file.is_relative()) file = seedFile.parent_path() / file;
    publishPack(store, file, name, false, now);
  }
  for (const auto& a : apps) {
    store.putApplication({a["app_id"], a.value("name", a["app_id"].get<std::string>()), a.value("pack", "")},
                         a["secret_key"]);
  }
  if (seed.contains("media")) {
    for (const auto& [id, description] : seed["media"].items()) {
      nlohmann::json merged = store.media(id).value_or(nlohmann::json::object());
      if (!merged.is_object()) merged = nlohmann::json::object();
      merged.merge_patch(description);
      store.putMedia(id, "", merged);
    }
  }
  for (const auto& c : campaigns) store.putCampaign(c);
}

}  // namespace kivo::console
