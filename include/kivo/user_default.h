// DOUserDefault: the host's access to the shared "DOUserDefault" settings dictionary, which holds
// the session identifier ("sessionId", set by the host) and the installation identifier ("tid").
// Thread-safe; every change is written to storage at once.
#pragma once

#include <optional>
#include <string>

#include "kivo/export.h"
#include "kivo/property_list.h"

namespace kivo {

class KIVO_API DOUserDefault {
 public:
  // Computes the session identifier once (making the installation identifier if needed).
  DOUserDefault();

  // The session identifier as it was at construction.
  const std::string& initialSessionId() const { return initialSessionId_; }

  // Computed afresh: a non-empty "sessionId" entry, else getTID().
  std::string sessionId() const;
  // The "sessionId" entry when it is text.
  std::optional<std::string> getSessionId() const;
  // The installation identifier, 18 characters "I" + local "yyyyMMddHHmmssSSS"; made once, then
  // read back (made anew only after a reset removed "DOUserDefault").
  std::string getTID() const;

  // Stores value under key inside "DOUserDefault".
  void saveDict(PropertyList value, const std::string& key);
  // The value under key, or nothing; with no key nothing is read or created.
  std::optional<PropertyList> loadDict(const std::optional<std::string>& key) const;

 private:
  std::string initialSessionId_;
};

}  // namespace kivo
