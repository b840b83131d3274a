// KIVOMatcher: life cycle, the two-phase add, pack delivery and the standalone writes.
#include "kivo/kivo_matcher.h"

#include <algorithm>

#include "audiopack/audio_pack_reader.h"
#include "kivo/format.h"
#include "kivo/log.h"

namespace kivo {

const int KIVOMatcherMaxCandidates = 10;
const int KIVOMatcherBytesSingleChunk = 68000;

namespace {

// Text of a description's key when it is a string.
std::optional<std::string> textOf(const nlohmann::json* description, const char* key) {
  if (!description || !description->is_object()) return std::nullopt;
  const auto it = description->find(key);
  if (it == description->end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// Walks the writer side from its head to the entry named name; sets prev to its predecessor.
AudioEntry* findOnWriterSide(AudioWriter* writer, const std::string& name, AudioEntry*& prev) {
  const HashedStr wanted = hstr_from_str(name.c_str());
  prev = nullptr;
  for (AudioEntry* e = adb_writer_get_head(writer); e; e = adb_writer_get_next(writer, e)) {
    if (hstr_eq(&e->name, &wanted)) return e;
    prev = e;
  }
  return nullptr;
}

}  // namespace

std::shared_ptr<KIVOMatcher> KIVOMatcher::create() { return std::shared_ptr<KIVOMatcher>(new KIVOMatcher()); }

KIVOMatcher::KIVOMatcher() { adb_init(&audioDB_); }

KIVOMatcher::~KIVOMatcher() {
  if (underWriting_) {
    logLine("[WARN] KIVOMatcher destroyed during an add: finishing it");
    finishAdd();
  }
  adb_free(&audioDB_);
}

void KIVOMatcher::debugLine(const std::string& line) const {
  if (debugMode_) logLine(line);
}

nlohmann::json KIVOMatcher::metadata() const {
  std::shared_lock lock(mapsMutex_);
  nlohmann::json media = nlohmann::json::object();
  for (const auto& [id, description] : media_) media[id] = *description;
  return {{"media", std::move(media)}};
}

size_t KIVOMatcher::count() const {
  std::shared_lock lock(mapsMutex_);
  return durationMap_.size();
}

// ---- Two-phase add ----

void KIVOMatcher::beginAdd() {
  if (underWriting_) {
    logLine("[WARN] duplicated beginAdd: _underWriting flags is already true");
    return;
  }
  adb_writer_start(&audioWriter_, &audioDB_);
  underWriting_ = true;
}

void KIVOMatcher::finishAdd() {
  if (!underWriting_) {
    logLine("[WARN] calling finishAdd without beginAdd: _underWriting flags is false");
    return;
  }
  adb_writer_force_copy_and_end(&audioWriter_);
  // No reader can reach the unlinked entries once both sides are the same list again.
  for (AudioEntry* entry : unlinked_) adb_entry_free(entry);
  unlinked_.clear();
  underWriting_ = false;
}

bool KIVOMatcher::addAudioPackWithPath(const std::filesystem::path& path) {
  if (KIVOAudioPack::loadPath(path, this)) return true;
  // A pack that could not be read whole contributes nothing, not even the records before the fault.
  std::lock_guard lock(pendingMutex_);
  if (!afps_.empty() || !identifiersToDelete_.empty())
    logLine(format("[WARN] discarding %lu records of the unreadable pack %@", afps_.size() + identifiersToDelete_.size(),
                   path.string()));
  afps_.clear();
  identifiersToDelete_.clear();
  return false;
}

bool KIVOMatcher::addEntry(AudioEntry* entry) {
  AudioAddCtx ctx;
  return adb_add_preswap(&ctx, &audioWriter_, entry) == 1;
}

void KIVOMatcher::addAFP(const Bytes& afp, const std::string& identifier) {
  if (!underWriting_) {
    logLine("[WARN] addAFP without beginAdd");
    return;
  }
  {
    std::shared_lock lock(mapsMutex_);
    if (durationMap_.count(identifier)) {
      logLine("[WARN] cannot add afp: duplicated identifier");
      return;
    }
  }
  AudioEntry entry;
  adb_entry_init(&entry, 0);
  if (!adb_entry_set_name(&entry, identifier.c_str()) || !adb_entry_init_buffer(&entry, afp.data(), afp.size()) ||
      !addEntry(&entry)) {
    adb_entry_reset(&entry);
    logLine(format("[WARN] Failed to add AFP %@", identifier));
    return;
  }
  std::unique_lock lock(mapsMutex_);
  durationMap_[identifier] = double(afp.size()) * 0.00390625;
}

bool KIVOMatcher::unlinkFromWriter(const std::string& identifier) {
  AudioEntry* prev = nullptr;
  AudioEntry* entry = findOnWriterSide(&audioWriter_, identifier, prev);
  if (!entry) return false;
  AudioChangeCtx ctx;
  if (adb_delete_preswap(&ctx, &audioWriter_, prev) != 1) return false;
  unlinked_.push_back(ctx.oldentry);
  return true;
}

void KIVOMatcher::deleteAFPWithIdentifier(const std::string& identifier) {
  if (!underWriting_) {
    logLine("[WARN] deleteAFP without beginAdd");
    return;
  }
  {
    std::shared_lock lock(mapsMutex_);
    if (!durationMap_.count(identifier)) {
      logLine("[WARN] skipping deletes not exists identifier");
      return;
    }
  }
  const bool unlinked = unlinkFromWriter(identifier);
  if (!unlinked) logLine(format("[WARN] Failed to delete AFP %@", identifier));
  // Either way the identifier is gone from the database now.
  std::unique_lock lock(mapsMutex_);
  durationMap_.erase(identifier);
}

// ---- Standalone writes ----

bool KIVOMatcher::twoPhaseAddEntry(AudioEntry* entry) {
  if (underWriting_) return false;
  AudioWriter writer;
  adb_writer_start(&writer, &audioDB_);
  AudioAddCtx ctx;
  const bool added = adb_add_preswap(&ctx, &writer, entry) == 1;
  if (added) {
    adb_writer_swap(&writer);
    adb_add_postswap(&ctx);
  }
  adb_writer_end(&writer);
  return added;
}

bool KIVOMatcher::removeEntryWithName(const std::string& name) {
  if (underWriting_) return false;
  AudioWriter writer;
  adb_writer_start(&writer, &audioDB_);
  AudioEntry* prev = nullptr;
  bool removed = false;
  if (findOnWriterSide(&writer, name, prev)) {
    AudioChangeCtx ctx;
    removed = adb_delete_preswap(&ctx, &writer, prev) == 1;
    if (removed) {
      adb_writer_swap(&writer);
      adb_delete_postswap(&ctx);
    }
  }
  adb_writer_end(&writer);
  return removed;
}

bool KIVOMatcher::replaceEntry(AudioEntry* entry, const std::string& name) {
  if (underWriting_) return false;
  AudioWriter writer;
  adb_writer_start(&writer, &audioDB_);
  AudioEntry* prev = nullptr;
  bool replaced = false;
  if (findOnWriterSide(&writer, name, prev)) {
    AudioChangeCtx ctx;
    replaced = adb_replace_preswap(&ctx, &writer, prev, entry) == 1;
    if (replaced) {
      adb_writer_swap(&writer);
      adb_replace_postswap(&ctx);
    }
  }
  adb_writer_end(&writer);
  return replaced;
}

// ---- Pack delegate ----

void KIVOMatcher::audioPackRetrieveAFPData(KIVOAudioPackAFPData afp) {
  debugLine(format("retrieved afp %@ %lu bytes", afp.identifier, afp.afp.size()));
  if (!afp.identifier || afp.identifier->empty()) {
    debugLine("[WARN] skipping not identified AFP");
    return;
  }
  if (afp.afp.empty()) {
    debugLine(format("[WARN] skipping 0 sized AFP identifier %@", *afp.identifier));
    return;
  }
  std::lock_guard lock(pendingMutex_);
  const bool seen = std::any_of(afps_.begin(), afps_.end(), [&](const auto& a) { return a.identifier == afp.identifier; });
  if (seen) {
    debugLine(format("[WARN] KIVOMatcher: found adding duplicated identifier %@. use first one.", *afp.identifier));
    return;
  }
  afps_.push_back(std::move(afp));
}

void KIVOMatcher::audioPackDeleteIfAny(const std::string& identifier) {
  debugLine(format("retrived delete %@ if any", identifier));
  std::lock_guard lock(pendingMutex_);
  identifiersToDelete_.push_back(identifier);
}

bool KIVOMatcher::isRemovedIdentifier(const std::string& identifier) const {
  std::lock_guard lock(pendingMutex_);
  return std::find(identifiersToDelete_.begin(), identifiersToDelete_.end(), identifier) != identifiersToDelete_.end();
}

std::string KIVOMatcher::AFPDescription(const std::string& identifier) const {
  std::shared_lock lock(mapsMutex_);
  const auto it = media_.find(identifier);
  const nlohmann::json* description = it == media_.end() ? nullptr : it->second.get();
  return format("AFP Key %@ [%@] (%@)", identifier, textOf(description, "type").value_or("unknown"),
                textOf(description, "title").value_or("nil"));
}

void KIVOMatcher::audioPackFinishLoadWithMetaData(const nlohmann::json& metadata) {
  debugLine(format("finish to load audio pack with metadata: %@", metadata));
  std::vector<std::string> deletes;
  {
    std::lock_guard lock(pendingMutex_);
    deletes = identifiersToDelete_;
  }
  for (const auto& id : deletes) debugLine(format("Deleting %@", AFPDescription(id)));
  {
    std::unique_lock lock(mapsMutex_);
    for (const auto& id : deletes) media_.erase(id);
    const auto media = metadata.is_object() ? metadata.find("media") : metadata.end();
    if (media != metadata.end() && media->is_object()) {
      for (const auto& [key, description] : media->items()) {
        if (!description.is_object()) {
          logLine(format("[WARN] skipping metadata of %@: not a dictionary", key));
          continue;
        }
        const auto old = media_.find(key);
        if (old != media_.end() && debugMode_) {
          logLine("Update exists metadata");
          logLine(format("exists: %@", *old->second));
          logLine(format("new: %@", description));
        }
        media_[key] = std::make_shared<const nlohmann::json>(description);
      }
    }
  }
  updateAudioDB();
}

void KIVOMatcher::updateAudioDB() {
  debugLine("start add afp to audio db");
  std::vector<KIVOAudioPackAFPData> afps;
  std::vector<std::string> deletes;
  {
    std::lock_guard lock(pendingMutex_);
    afps.swap(afps_);
    deletes.swap(identifiersToDelete_);
  }
  auto known = [this](const std::string& id) {
    std::shared_lock lock(mapsMutex_);
    return durationMap_.count(id) != 0;
  };
  for (const auto& afp : afps) {
    const std::string& id = *afp.identifier;
    if (std::find(deletes.begin(), deletes.end(), id) != deletes.end()) {
      debugLine(format("Skipping to add current afp which marked removed: %@", id));
    } else if (known(id)) {
      debugLine(format("Skipping current afp which is duplicated: %@", id));
    } else {
      debugLine(format("Adding %@", AFPDescription(id)));
      addAFP(afp.afp, id);
    }
  }
  for (const auto& id : deletes) {
    if (known(id))
      deleteAFPWithIdentifier(id);
    else
      debugLine(format("Skipping delete afp because this identifier could not found in _identifierMap: %@", id));
  }
}

bool KIVOMatcher::isSameMetadata(const nlohmann::json* a, const nlohmann::json* b) {
  if (a == b) return true;
  return a && b && a->size() == b->size();
}

void KIVOMatcher::forEachAudioPack(const AFPVisitor& visit) const {
  AudioReader reader;
  adb_reader_start(&reader, const_cast<AudioDB*>(&audioDB_));
  for (const AudioEntry* e = adb_reader_next(&reader); e; e = adb_reader_next(&reader)) {
    KIVOAudioPackAFPData data;
    if (e->name.str) data.identifier = e->name.str;
    data.type = int32_t(e->mask);
    if (e->buffer) data.afp.assign(e->buffer, e->buffer + e->size);
    visit(data);
  }
  adb_reader_end(&reader);
}

bool KIVOMatcher::isValidIdentifier(const std::string& identifier) const {
  std::shared_lock lock(mapsMutex_);
  const auto it = media_.find(identifier);
  if (it == media_.end()) return false;
  return KIVOMatchResultTypeFromString(textOf(it->second.get(), "type")) != KIVOMatchResultTypePG;
}

}  // namespace kivo
