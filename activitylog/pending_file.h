// The waiting activity reports as kept in the data directory: what rebuilds each report (media id,
// item id, created, location), never credentials or tokens. Thread-safe (stateless).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kivo/bytes.h"
#include "kivo/log_store.h"

namespace kivo::activity {

// {"version": 1, "items": [{"media_id", "item_id", "created", "location"}]}.
Bytes encodePending(const std::vector<KIVOLogItem>& items);
// The items of a file; entries without a media id, or of the wrong shape, are skipped. Nothing when
// the text is not such a document.
std::optional<std::vector<KIVOLogItem>> decodePending(const Bytes& bytes);

}  // namespace kivo::activity
