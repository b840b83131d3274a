#include "kivo/subpromotions.h"

#include "campaign/json_access.h"
#include "kivo/format.h"

namespace kivo {

using campaign::dateDescription;

KIVOSubpromotions::KIVOSubpromotions(const KIVOUnarchiver& coder)
    : urlItemID(coder.decodeString("urlItemID")),
      url(coder.decodeURL("url")),
      appItemID(coder.decodeString("appItemID")),
      iosAppURL(coder.decodeURL("iosAppURL")),
      androidAppURL(coder.decodeURL("androidAppURL")),
      appScheme(coder.decodeString("appScheme")),
      shopURLItemID(coder.decodeString("shopURLItemID")),
      shopURL(coder.decodeURL("shopURL")),
      useLBS(coder.decodeBool("useLBS")),
      lbsItemID(coder.decodeString("lbsItemID")),
      lbsKeyword(coder.decodeString("lbsKeyword")),
      useReminder(coder.decodeBool("useReminder")),
      reminderItemID(coder.decodeString("reminderItemID")),
      reminderName(coder.decodeString("reminderName")),
      reminderStartAt(coder.decodeDate("reminderStartAt")),
      reminderEndAt(coder.decodeDate("reminderEndAt")),
      reminderAllDay(coder.decodeBool("reminderAllDay")),
      useCall(coder.decodeBool("useCall")),
      callItemID(coder.decodeString("callItemID")),
      callNumber(coder.decodeString("callNumber")) {}

void KIVOSubpromotions::encodeWithCoder(KIVOArchiver& coder) const {
  coder.encodeString("urlItemID", urlItemID);
  coder.encodeURL("url", url);
  coder.encodeString("shopURLItemID", shopURLItemID);
  coder.encodeURL("shopURL", shopURL);
  coder.encodeString("lbsItemID", lbsItemID);
  coder.encodeBool("useLBS", useLBS);
  coder.encodeString("lbsKeyword", lbsKeyword);
  coder.encodeString("reminderItemID", reminderItemID);
  coder.encodeBool("useReminder", useReminder);
  coder.encodeString("reminderName", reminderName);
  coder.encodeDate("reminderStartAt", reminderStartAt);
  coder.encodeDate("reminderEndAt", reminderEndAt);
  coder.encodeBool("reminderAllDay", reminderAllDay);
  coder.encodeString("callItemID", callItemID);
  coder.encodeBool("useCall", useCall);
  coder.encodeString("callNumber", callNumber);
  coder.encodeString("appItemID", appItemID);
  coder.encodeURL("iosAppURL", iosAppURL);
  coder.encodeURL("androidAppURL", androidAppURL);
  coder.encodeString("appScheme", appScheme);
}

std::string KIVOSubpromotions::description() const {
  return format(
      "<KIVOSubpromotions>\n- [URL] urlItemID:%@\n- [URL] url:%@\n- [APP] appItemID:%@\n- [APP] iosAppURL:%@\n"
      "- [APP] androidAppURL:%@\n- [APP] appScheme:%@\n- [SHP] shopURLItemID:%@\n- [SHP] shopURL:%@\n"
      "- [CAL] useCalendar:%@\n- [LBS] useLBS:%@\n- [LBS] lbsItemID:%@\n- [LBS] lbsKeyword:%@\n"
      "- [RMD] useReminder:%@\n- [RMD] reminderItemID:%@\n- [RMD] reminderName:%@\n- [RMD] reminderLocation:%@\n"
      "- [RMD] reminderStartAt:%@\n- [RMD] reminderEndAt:%@\n- [RMD] reminderAllDay:%@\n- [CLL] useCall:%@\n"
      "- [CLL] callItemID:%@\n- [CLL] callNumber:%@\n-----\n",
      urlItemID, url, appItemID, iosAppURL, androidAppURL, appScheme, shopURLItemID, shopURL, useCalendar, useLBS,
      lbsItemID, lbsKeyword, useReminder, reminderItemID, reminderName,
      format("(%f, %f)", reminderLocation.latitude, reminderLocation.longitude), dateDescription(reminderStartAt),
      dateDescription(reminderEndAt), reminderAllDay, useCall, callItemID, callNumber);
}

}  // namespace kivo
