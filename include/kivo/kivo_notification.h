// KIVONotification: the notifications the manager posts to the host besides "kivo.error".
#pragma once

#include <cstddef>
#include <string_view>

#include "kivo/export.h"

namespace kivo {

class KIVO_API KIVONotification {
 public:
  // "kivo.noti.afp.loaded": posted after each background pack load; no object, user info
  // {"afpCount": the matcher's entry count after the load}.
  static constexpr std::string_view audiopackLoadedNotificationName() { return "kivo.noti.afp.loaded"; }
  // Posts it synchronously on the default notification center, on the calling thread.
  static void postAudiopackLoadedNotificationWithAFPCount(size_t count);
};

}  // namespace kivo
