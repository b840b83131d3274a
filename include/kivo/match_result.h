// The result of a local match, and the media type numbers of match results.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "kivo/export.h"

namespace kivo {

// Result type numbers of media "type" strings.
enum KIVOMatchResultType : int32_t {
  KIVOMatchResultTypeUnknown = 0,
  KIVOMatchResultTypeCF = 2,  // "cf"
  KIVOMatchResultTypePG = 4,  // "pg": never reported by the matcher
};

// 2 for "cf", 4 for "pg", 0 for any other string or none (exact, case-sensitive).
KIVO_API int KIVOMatchResultTypeFromString(std::optional<std::string_view> type);
// "cf" for 2, "pg" for 4, none otherwise.
KIVO_API std::optional<std::string> NSStringFromKIVOMatchResultType(int type);

// Which media matched, where in it, how well, and the media's description. Immutable; the
// description is shared, never a view into the matcher's live metadata. Safe to use from any thread.
class KIVO_API KIVOMatchResult {
 public:
  using Metadata = std::shared_ptr<const nlohmann::json>;

  // position: milliseconds into the reference; score: average weighted bit difference per step
  // (0 is perfect); duration: the reference's length in seconds.
  KIVOMatchResult(std::string name, double score, uint64_t position, double duration, Metadata metadata);

  // 0 for results made by the matcher (the constructor does not derive it from the metadata).
  int type() const { return type_; }
  const std::string& name() const { return name_; }
  uint64_t position() const { return position_; }
  double score() const { return score_; }
  double duration() const { return duration_; }
  // The description dictionary; an empty object when there is none.
  const nlohmann::json& metadata() const;
  const Metadata& sharedMetadata() const { return metadata_; }

  // "<KIVOMatchResult NAME score 1.23 position 1500 / 30.000000>"
  std::string description() const;

 private:
  int type_ = 0;
  std::string name_;
  uint64_t position_;
  double score_;
  Metadata metadata_;
  double duration_;
};

// A recognised AFP, as a host application may model it. Nothing in the library creates one.
struct KIVO_API DOAFPModel {
  std::optional<std::string> channel;
  int64_t duration = 0;
  int64_t position = 0;
  double score = 0;
  std::optional<std::string> title;
  std::optional<std::string> type;

  // "<DOAFPModel TYPE channel:CHANNEL> score:0.500000", "(null)" for a missing text.
  std::string description() const;
};

// A detected content item, as a host application may model it. Nothing in the library creates one.
struct KIVO_API DODetectorModel {
  bool event = false;
  bool bookmark = false;
  std::optional<std::string> title, subtitle, main_image, url, id, type, code, channel, timeline, group_id, live,
      history_url, last_date, brand, content, created_at;
};

}  // namespace kivo
