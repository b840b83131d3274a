// KIVOMatcher: life cycle, the two-phase add, pack delivery and the standalone writes.
#include "facade/matcher_state.h"
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

// Unlinks identifier's entry in the open add, adding it to unlinked (freed at finishAdd).
bool unlinkFromWriter(AudioWriter& writer, std::vector<AudioEntry*>& unlinked, const std::string& identifier) {
  AudioEntry* prev = nullptr;
  if (!findOnWriterSide(&writer, identifier, prev)) return false;
  AudioChangeCtx ctx;
  if (adb_delete_preswap(&ctx, &writer, prev) != 1) return false;
  unlinked.push_back(ctx.oldentry);
  return true;
}

}  // namespace

std::shared_ptr<KIVOMatcher> KIVOMatcher::create() { return std::shared_ptr<KIVOMatcher>(new KIVOMatcher()); }

KIVOMatcher::KIVOMatcher() : state_(std::make_unique<State>()) {}

// An open add holds the matcher, so none is open here.
KIVOMatcher::~KIVOMatcher() = default;

double KIVOMatcher::cutoff() const { return state_->cutoff; }
void KIVOMatcher::setCutoff(double cutoff) { state_->cutoff = cutoff; }
bool KIVOMatcher::useCutoffFilter() const { return state_->useCutoffFilter; }
void KIVOMatcher::setUseCutoffFilter(bool on) { state_->useCutoffFilter = on; }
bool KIVOMatcher::debugMode() const { return state_->debugMode; }
void KIVOMatcher::setDebugMode(bool on) { state_->debugMode = on; }
double KIVOMatcher::acceptanceLimit() const { return state_->acceptanceLimit; }
void KIVOMatcher::setAcceptanceLimit(double limit) { state_->acceptanceLimit = limit; }

nlohmann::json KIVOMatcher::metadata() const {
  ReaderLock lock(state_->mapsMutex);
  nlohmann::json media = nlohmann::json::object();
  for (const auto& [id, description] : state_->media) media[id] = *description;
  return {{"media", std::move(media)}};
}

size_t KIVOMatcher::count() const {
  ReaderLock lock(state_->mapsMutex);
  return state_->durationMap.size();
}

// ---- Two-phase add ----

void KIVOMatcher::beginAdd() {
  if (state_->underWriting) {
    logLine("[WARN] duplicated beginAdd: _underWriting flags is already true");
    return;
  }
  adb_writer_start(&state_->audioWriter, &state_->audioDB);
  state_->openAdd = shared_from_this();
  state_->underWriting = true;
}

void KIVOMatcher::finishAdd() {
  if (!state_->underWriting) {
    logLine("[WARN] calling finishAdd without beginAdd: _underWriting flags is false");
    return;
  }
  adb_writer_force_copy_and_end(&state_->audioWriter);
  // No reader can reach the unlinked entries once both sides are the same list again.
  for (AudioEntry* entry : state_->unlinked) adb_entry_free(entry);
  state_->unlinked.clear();
  state_->underWriting = false;
  // The last reference may be this one: the matcher then goes here, after the add has ended.
  const auto keep = std::move(state_->openAdd);
}

bool KIVOMatcher::addAudioPackWithPath(const std::filesystem::path& path) {
  if (KIVOAudioPack::loadPath(path, this)) return true;
  // A pack that could not be read whole contributes nothing, not even the records before the fault.
  MutexLock lock(state_->pendingMutex);
  if (!state_->afps.empty() || !state_->identifiersToDelete.empty())
    logLine(format("[WARN] discarding %lu records of the unreadable pack %@", state_->afps.size() + state_->identifiersToDelete.size(),
                   path.string()));
  state_->afps.clear();
  state_->identifiersToDelete.clear();
  return false;
}

bool KIVOMatcher::addEntry(AudioEntry& entry) {
  if (!state_->underWriting) {
    logLine("[WARN] addEntry without beginAdd");
    return false;
  }
  AudioAddCtx ctx;
  return adb_add_preswap(&ctx, &state_->audioWriter, &entry) == 1;
}

void KIVOMatcher::addAFP(const Bytes& afp, const std::string& identifier) {
  if (!state_->underWriting) {
    logLine("[WARN] addAFP without beginAdd");
    return;
  }
  {
    ReaderLock lock(state_->mapsMutex);
    if (state_->durationMap.count(identifier)) {
      logLine("[WARN] cannot add afp: duplicated identifier");
      return;
    }
  }
  AudioEntry entry;
  adb_entry_init(&entry, 0);
  if (!adb_entry_set_name(&entry, identifier.c_str()) || !adb_entry_init_buffer(&entry, afp.data(), afp.size()) ||
      !addEntry(entry)) {
    adb_entry_reset(&entry);
    logLine(format("[WARN] Failed to add AFP %@", identifier));
    return;
  }
  WriterLock lock(state_->mapsMutex);
  state_->durationMap[identifier] = double(afp.size()) * 0.00390625;
}

void KIVOMatcher::deleteAFPWithIdentifier(const std::string& identifier) {
  if (!state_->underWriting) {
    logLine("[WARN] deleteAFP without beginAdd");
    return;
  }
  {
    ReaderLock lock(state_->mapsMutex);
    if (!state_->durationMap.count(identifier)) {
      logLine("[WARN] skipping deletes not exists identifier");
      return;
    }
  }
  const bool unlinked = unlinkFromWriter(state_->audioWriter, state_->unlinked, identifier);
  if (!unlinked) logLine(format("[WARN] Failed to delete AFP %@", identifier));
  // Either way the identifier is gone from the database now.
  WriterLock lock(state_->mapsMutex);
  state_->durationMap.erase(identifier);
}

// ---- Standalone writes ----

bool KIVOMatcher::twoPhaseAddEntry(AudioEntry& entry) {
  if (state_->underWriting) return false;
  AudioWriter writer;
  adb_writer_start(&writer, &state_->audioDB);
  AudioAddCtx ctx;
  const bool added = adb_add_preswap(&ctx, &writer, &entry) == 1;
  if (added) {
    adb_writer_swap(&writer);
    adb_add_postswap(&ctx);
  }
  adb_writer_end(&writer);
  return added;
}

bool KIVOMatcher::removeEntryWithName(const std::string& name) {
  if (state_->underWriting) return false;
  AudioWriter writer;
  adb_writer_start(&writer, &state_->audioDB);
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

bool KIVOMatcher::replaceEntry(AudioEntry& entry, const std::string& name) {
  if (state_->underWriting) return false;
  AudioWriter writer;
  adb_writer_start(&writer, &state_->audioDB);
  AudioEntry* prev = nullptr;
  bool replaced = false;
  if (findOnWriterSide(&writer, name, prev)) {
    AudioChangeCtx ctx;
    replaced = adb_replace_preswap(&ctx, &writer, prev, &entry) == 1;
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
  state_->debug([&] { return format("retrieved afp %@ %lu bytes", afp.identifier, afp.afp.size()); });
  if (!afp.identifier || afp.identifier->empty()) {
    state_->debug("[WARN] skipping not identified AFP");
    return;
  }
  if (afp.afp.empty()) {
    state_->debug([&] { return format("[WARN] skipping 0 sized AFP identifier %@", *afp.identifier); });
    return;
  }
  MutexLock lock(state_->pendingMutex);
  const bool seen = std::any_of(state_->afps.begin(), state_->afps.end(), [&](const auto& a) { return a.identifier == afp.identifier; });
  if (seen) {
    state_->debug([&] { return format("[WARN] KIVOMatcher: found adding duplicated identifier %@. use first one.", *afp.identifier); });
    return;
  }
  state_->afps.push_back(std::move(afp));
}

void KIVOMatcher::audioPackDeleteIfAny(const std::string& identifier) {
  state_->debug([&] { return format("retrived delete %@ if any", identifier); });
  MutexLock lock(state_->pendingMutex);
  state_->identifiersToDelete.push_back(identifier);
}

bool KIVOMatcher::isRemovedIdentifier(const std::string& identifier) const {
  MutexLock lock(state_->pendingMutex);
  return std::find(state_->identifiersToDelete.begin(), state_->identifiersToDelete.end(), identifier) != state_->identifiersToDelete.end();
}

std::string KIVOMatcher::AFPDescription(const std::string& identifier) const {
  ReaderLock lock(state_->mapsMutex);
  const auto it = state_->media.find(identifier);
  const nlohmann::json* description = it == state_->media.end() ? nullptr : it->second.get();
  return format("AFP Key %@ [%@] (%@)", identifier, textOf(description, "type").value_or("unknown"),
                textOf(description, "title").value_or("nil"));
}

void KIVOMatcher::audioPackFinishLoadWithMetaData(const nlohmann::json& metadata) {
  state_->debug([&] { return format("finish to load audio pack with metadata: %@", metadata); });
  std::vector<std::string> deletes;
  {
    MutexLock lock(state_->pendingMutex);
    deletes = state_->identifiersToDelete;
  }
  for (const auto& id : deletes) state_->debug([&] { return format("Deleting %@", AFPDescription(id)); });
  {
    WriterLock lock(state_->mapsMutex);
    for (const auto& id : deletes) state_->media.erase(id);
    const auto media = metadata.is_object() ? metadata.find("media") : metadata.end();
    if (media != metadata.end() && media->is_object()) {
      for (const auto& [key, description] : media->items()) {
        if (!description.is_object()) {
          logLine(format("[WARN] skipping metadata of %@: not a dictionary", key));
          continue;
        }
        const auto old = state_->media.find(key);
        if (old != state_->media.end() && state_->debugMode) {
          logLine("Update exists metadata");
          logLine(format("exists: %@", *old->second));
          logLine(format("new: %@", description));
        }
        state_->media[key] = std::make_shared<const nlohmann::json>(description);
      }
    }
  }
  updateAudioDB();
}

void KIVOMatcher::updateAudioDB() {
  state_->debug("start add afp to audio db");
  std::vector<KIVOAudioPackAFPData> afps;
  std::vector<std::string> deletes;
  {
    MutexLock lock(state_->pendingMutex);
    afps.swap(state_->afps);
    deletes.swap(state_->identifiersToDelete);
  }
  auto known = [this](const std::string& id) {
    ReaderLock lock(state_->mapsMutex);
    return state_->durationMap.count(id) != 0;
  };
  for (const auto& afp : afps) {
    const std::string& id = *afp.identifier;
    if (std::find(deletes.begin(), deletes.end(), id) != deletes.end()) {
      state_->debug([&] { return format("Skipping to add current afp which marked removed: %@", id); });
    } else if (known(id)) {
      state_->debug([&] { return format("Skipping current afp which is duplicated: %@", id); });
    } else {
      state_->debug([&] { return format("Adding %@", AFPDescription(id)); });
      addAFP(afp.afp, id);
    }
  }
  for (const auto& id : deletes) {
    if (known(id))
      deleteAFPWithIdentifier(id);
    else
      state_->debug([&] { return format("Skipping delete afp because this identifier could not found in _identifierMap: %@", id); });
  }
}

bool KIVOMatcher::isSameMetadata(const nlohmann::json* a, const nlohmann::json* b) {
  if (a == b) return true;
  return a && b && a->size() == b->size();
}

void KIVOMatcher::forEachAudioPack(const AFPVisitor& visit) const {
  AudioReader reader;
  adb_reader_start(&reader, const_cast<AudioDB*>(&state_->audioDB));
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
  ReaderLock lock(state_->mapsMutex);
  const auto it = state_->media.find(identifier);
  if (it == state_->media.end()) return false;
  return KIVOMatchResultTypeFromString(textOf(it->second.get(), "type")) != KIVOMatchResultTypePG;
}

}  // namespace kivo
