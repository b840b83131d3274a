// What the pack reader delivers to its delegate: one call per record, in file order, on the
// reading thread, then one call with the pack's metadata when the whole pack was read.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "kivo/bytes.h"
#include "kivo/export.h"

namespace kivo {

// One AFP record of a pack; a plain value.
struct KIVOAudioPackAFPData {
  // The media key the fingerprint is stored under; none when the record carries none, or its
  // bytes are not UTF-8 or hold a zero byte.
  std::optional<std::string> identifier;
  int32_t type = 0;  // the record's type field, unchanged
  Bytes afp;         // AFP words, 8 bytes each, native order
};

class KIVO_API KIVOAudioPackDelegate {
 public:
  virtual ~KIVOAudioPackDelegate() = default;
  // One AFP to add.
  virtual void audioPackRetrieveAFPData(KIVOAudioPackAFPData afp) = 0;
  // Remove this identifier if the database holds it.
  virtual void audioPackDeleteIfAny(const std::string& identifier) = 0;
  // The pack was read to its end; metadata is a JSON object, empty when the pack has none usable.
  // Not called when the load fails.
  virtual void audioPackFinishLoadWithMetaData(const nlohmann::json& metadata) = 0;
};

}  // namespace kivo
