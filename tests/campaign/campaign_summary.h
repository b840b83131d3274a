// Test helpers: campaign documents from tests/data/campaign, and the fields of the models as
// JSON (present fields only; dates as UTC texts "2024-01-31T10:00:00Z", URLs as their text), so
// a whole parse compares against one expected document.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "kivo/promotion.h"
#include "kivo/state.h"

namespace kivo::test {

nlohmann::json loadCampaignDocument(const std::string& name);

nlohmann::json summary(const KIVOPromotion& promotion);
nlohmann::json summary(const KIVOState& state);

// A UTC date from the summary's text form.
Date utcDate(const std::string& text);

}  // namespace kivo::test
