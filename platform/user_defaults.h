// The settings store: property-list values under text keys, persisted in one file that is
// replaced whole on every change through the file seam, so a crash at any instant leaves the old or
// the new content. A file that cannot be read or parsed is moved aside with a log line and the
// store starts empty. Thread-safe: every change is one critical section, so concurrent writers
// lose nothing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kivo/property_list.h"
#include "kivo/thread_annotations.h"
#include "platform/file_system.h"

namespace kivo {

class UserDefaults {
 public:
  // Name of the store file inside the data directory.
  static constexpr std::string_view kFileName = "user-defaults.json";

  // The store of the current data directory (re-opened when the host changed the directory).
  static std::shared_ptr<UserDefaults> standard();

  // Loads file (a missing file is an empty store; an unreadable one is moved aside).
  explicit UserDefaults(std::filesystem::path file);
  UserDefaults(std::filesystem::path file, std::shared_ptr<FileSystem> files);
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  const std::filesystem::path& file() const { return file_; }

  std::optional<PropertyList> object(std::string_view key) const;
  // Store, or remove, one key and write the file.
  void set(const std::string& key, PropertyList value);
  void remove(const std::string& key);
  // Read-modify-write of one key as one critical section: change receives the current value (or
  // nothing) and returns the new one (nothing removes the key). Returns the value now stored.
  // change runs under the store's lock and must not call the store.
  using Change = std::function<std::optional<PropertyList>(const std::optional<PropertyList>&)>;
  std::optional<PropertyList> update(const std::string& key, const Change& change);

  // Writes the current state if an earlier write failed. True when the file holds it.
  bool synchronize();

 private:
  // The values the file holds (none when it is missing; an unreadable file is moved aside).
  PropertyDictionary load();
  // Writes the state of generation `generation` unless a newer one is already on disk.
  bool persist(uint64_t generation, const std::string& text) KIVO_EXCLUDES(mutex_, fileMutex_);

  const std::filesystem::path file_;
  const std::shared_ptr<FileSystem> files_;

  mutable Mutex mutex_;
  PropertyDictionary values_ KIVO_GUARDED_BY(mutex_);
  uint64_t generation_ KIVO_GUARDED_BY(mutex_) = 0;  // bumped by every change

  Mutex fileMutex_;                                   // serialises writes of the file; taken after mutex_ is released
  uint64_t written_ KIVO_GUARDED_BY(fileMutex_) = 0;  // generation the file holds
};

}  // namespace kivo
