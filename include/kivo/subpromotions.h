// KIVOSubpromotions: the secondary features of a promotion (link, app, shop, location keyword,
// reminder, call), filled by KIVOPromotion's parser from the items that are not its main item.
// A value type; not thread-safe: confine an instance to one thread or guard it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kivo/archive.h"
#include "kivo/dates.h"
#include "kivo/export.h"
#include "kivo/url.h"

namespace kivo {

struct KIVO_API KIVOSubpromotions {
  // A latitude/longitude pair in degrees.
  struct Coordinate {
    double latitude = 0.0;
    double longitude = 0.0;
    friend bool operator==(const Coordinate&, const Coordinate&) = default;
  };

  static constexpr std::string_view kArchiveClassName = "KIVOSubpromotions";
  KIVOSubpromotions() = default;
  explicit KIVOSubpromotions(const KIVOUnarchiver& coder);
  // Archives every field under its own name except useCalendar and reminderLocation.
  void encodeWithCoder(KIVOArchiver& coder) const;
  // The "<KIVOSubpromotions>" block: booleans as YES/NO, the location as "(%f, %f)".
  std::string description() const;
  friend bool operator==(const KIVOSubpromotions&, const KIVOSubpromotions&) = default;

  std::optional<std::string> urlItemID;  // item "url"
  std::optional<URL> url;
  std::optional<std::string> appItemID;  // item "app"
  std::optional<URL> iosAppURL;
  std::optional<URL> androidAppURL;
  std::optional<std::string> appScheme;
  std::optional<std::string> shopURLItemID;  // item "shop_url"
  std::optional<URL> shopURL;
  bool useCalendar = false;  // never read from JSON; not archived
  bool useLBS = false;       // item "near" or "local"
  std::optional<std::string> lbsItemID;
  std::optional<std::string> lbsKeyword;
  bool useReminder = false;  // item "reminder"
  std::optional<std::string> reminderItemID;
  std::optional<std::string> reminderName;
  Coordinate reminderLocation;  // never read from JSON; not archived
  std::optional<Date> reminderStartAt;
  std::optional<Date> reminderEndAt;
  bool reminderAllDay = false;
  bool useCall = false;  // item "call"
  std::optional<std::string> callItemID;
  std::optional<std::string> callNumber;
};

}  // namespace kivo
