// KIVOLogItem: one activity report.
#include "kivo/log_store.h"

namespace kivo {

KIVOLogItem::KIVOLogItem(const nlohmann::json& media) { initializeWithDictionary(media); }
void KIVOLogItem::initializeWithDictionary(const nlohmann::json&) {}
void KIVOLogItem::setUserDataWithUserName(const std::optional<std::string>&) {}
FormParameters KIVOLogItem::formParameters() const { return {}; }
std::string KIVOLogItem::description() const { return {}; }
int64_t KIVOLogItem::createdFromDate(Date) { return 0; }

}  // namespace kivo
