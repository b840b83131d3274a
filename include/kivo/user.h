// KIVOUser: the device user as the console knows it: a session identifier carried by every
// console request, and the personal fields some promotions require. One process-wide instance.
// Thread-safe: the fields are guarded by one lock and read as copies.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "kivo/export.h"
#include "kivo/property_list.h"
#include "kivo/thread_annotations.h"

namespace kivo {

// The user-field mask: bits naming the fields a promotion requires.
enum KIVOUserInfoMask : int64_t {
  KIVOUserInfoMaskName = 1,      // "name"
  KIVOUserInfoMaskEmail = 2,     // "email"
  KIVOUserInfoMaskBirth = 4,     // "birth"
  KIVOUserInfoMaskPhone = 8,     // "phone"
  KIVOUserInfoMaskAddress = 16,  // "address"
  KIVOUserInfoMaskGender = 32,   // "gender"
};

class KIVO_API KIVOUser {
 public:
  using Date = std::chrono::system_clock::time_point;

  // The process-wide user, created empty (it does not load the stored fields by itself).
  static KIVOUser& currentUser();

  // An empty user of its own (tests; the library uses currentUser()).
  KIVOUser() = default;
  KIVOUser(const KIVOUser&) = delete;
  KIVOUser& operator=(const KIVOUser&) = delete;

  // Writes "dcuser" from the present fields (absent fields are not stored).
  void save() const;
  // Replaces all six fields with the stored ones; a field missing from storage becomes absent.
  void load();

  // The session identifier: fixed on first read (a non-empty stored "sessionId", else getTID()).
  std::string sessionID();
  std::optional<std::string> getSessionID() const;
  std::string getTID() const;
  void saveDict(PropertyList value, const std::string& key);
  std::optional<PropertyList> loadDict(const std::optional<std::string>& key) const;

  // True when every field that mask requires is filled (texts non-empty; gender is never required).
  bool checkRequiredFields(int64_t mask) const;

  std::optional<std::string> name() const;
  void setName(std::optional<std::string> value);
  std::optional<std::string> email() const;
  void setEmail(std::optional<std::string> value);
  std::optional<Date> birthday() const;
  void setBirthday(std::optional<Date> value);
  std::optional<std::string> mobile() const;
  void setMobile(std::optional<std::string> value);
  std::optional<std::string> address() const;
  void setAddress(std::optional<std::string> value);
  std::optional<std::string> gender() const;
  void setGender(std::optional<std::string> value);

 private:
  mutable Mutex mutex_;
  std::optional<std::string> name_ KIVO_GUARDED_BY(mutex_);
  std::optional<std::string> email_ KIVO_GUARDED_BY(mutex_);
  std::optional<std::string> mobile_ KIVO_GUARDED_BY(mutex_);
  std::optional<std::string> address_ KIVO_GUARDED_BY(mutex_);
  std::optional<std::string> gender_ KIVO_GUARDED_BY(mutex_);
  std::optional<Date> birthday_ KIVO_GUARDED_BY(mutex_);

  std::once_flag sessionOnce_;
  std::string sessionID_;  // written once under sessionOnce_
};

// The mask of the console field names in list (exact, case-sensitive; others ignored). A list
// that is absent, empty or not an array gives 0; non-text elements are ignored.
KIVO_API int64_t KIVOUserInfoMaskFromRequiredArray(const nlohmann::json& list);

}  // namespace kivo
