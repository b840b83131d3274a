// The audio-pack-loaded notification.
#include "kivo/kivo_notification.h"

#include <string>

#include "kivo/notification_center.h"

namespace kivo {

void KIVONotification::postAudiopackLoadedNotificationWithAFPCount(size_t count) {
  NotificationCenter::defaultCenter().post(std::string(audiopackLoadedNotificationName()), {},
                                           nlohmann::json{{"afpCount", count}});
}

}  // namespace kivo
