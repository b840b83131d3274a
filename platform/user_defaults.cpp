#include "platform/user_defaults.h"

#include <ctime>
#include <span>
#include <variant>

#include "kivo/data_directory.h"
#include "kivo/format.h"
#include "kivo/log.h"
#include "platform/user_defaults_codec.h"

namespace kivo {
namespace {

struct StandardSlot {
  Mutex mutex;
  std::shared_ptr<UserDefaults> store KIVO_GUARDED_BY(mutex);
};

StandardSlot& standardSlot() {
  static auto* instance = new StandardSlot;
  return *instance;
}

}  // namespace

std::shared_ptr<UserDefaults> UserDefaults::standard() {
  std::filesystem::path file = dataDirectory() / kFileName;
  MutexLock lock(standardSlot().mutex);
  if (!standardSlot().store || standardSlot().store->file() != file)
    standardSlot().store = std::make_shared<UserDefaults>(file);
  return standardSlot().store;
}

UserDefaults::UserDefaults(std::filesystem::path file)
    : UserDefaults(std::move(file), std::make_shared<DiskFileSystem>()) {}

UserDefaults::UserDefaults(std::filesystem::path file, std::shared_ptr<FileSystem> files)
    : file_(std::move(file)), files_(std::move(files)), values_(load()) {}

PropertyDictionary UserDefaults::load() {
  files_->removeAbandonedVersions(file_);
  FileContents contents = files_->readFile(file_);
  if (contents.missing) return {};  // no store yet
  std::string error = contents.error;
  if (contents.status == FileContents::Status::kRead) {
    const std::string text(contents.bytes.begin(), contents.bytes.end());
    if (auto values = decodeUserDefaults(text, error)) return std::move(*values);
  }
  std::filesystem::path aside = file_;
  aside += ".corrupt-" + std::to_string(std::time(nullptr));
  if (auto failed = files_->renameFile(file_, aside))
    logLine(format("[ERROR] KIVOUserDefaults: cannot read %@ (%@) nor move it aside (%@); starting empty",
                   file_, error, *failed));
  else
    logLine(format("[ERROR] KIVOUserDefaults: cannot read %@ (%@); moved it to %@ and starting empty", file_,
                   error, aside));
  return {};
}

std::optional<PropertyList> UserDefaults::object(std::string_view key) const {
  MutexLock lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

void UserDefaults::set(const std::string& key, PropertyList value) {
  update(key, [&](const std::optional<PropertyList>&) { return std::optional<PropertyList>(std::move(value)); });
}

void UserDefaults::remove(const std::string& key) {
  update(key, [](const std::optional<PropertyList>&) { return std::optional<PropertyList>(); });
}

std::optional<PropertyList> UserDefaults::update(const std::string& key, const Change& change) {
  std::optional<PropertyList> stored;
  uint64_t generation;
  std::string text;
  {
    MutexLock lock(mutex_);
    auto it = values_.find(key);
    std::optional<PropertyList> current;
    if (it != values_.end()) current = it->second;
    stored = change(current);
    if (stored == current) return stored;
    if (stored)
      values_.insert_or_assign(key, *stored);
    else
      values_.erase(key);
    generation = ++generation_;
    text = encodeUserDefaults(values_);
  }
  persist(generation, text);
  return stored;
}

bool UserDefaults::persist(uint64_t generation, const std::string& text) {
  MutexLock lock(fileMutex_);
  if (written_ >= generation) return true;  // a newer state is already on disk
  files_->makeFolder(file_.parent_path());  // a failure shows at createFile
  auto created = files_->createFile(file_);
  std::optional<std::string> error;
  if (auto* file = std::get_if<std::unique_ptr<PendingFile>>(&created))
    error = (*file)->commit(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  else
    error = std::get<std::string>(created);
  if (error) {
    logLine(format("[ERROR] KIVOUserDefaults: failed to write %@: %@", file_, *error));
    return false;
  }
  written_ = generation;
  return true;
}

bool UserDefaults::synchronize() {
  uint64_t generation;
  std::string text;
  {
    MutexLock lock(mutex_);
    generation = generation_;
    text = encodeUserDefaults(values_);
  }
  {
    MutexLock lock(fileMutex_);
    if (written_ >= generation) return true;
  }
  return persist(generation, text);
}

}  // namespace kivo
