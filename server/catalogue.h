// Filling the console's store: publishing a pack file as a new version, and seeding applications,
// packs, media descriptions and campaigns from a JSON file. Both throw std::runtime_error with a
// one-line reason. A seed is checked whole before anything is written; a pack of it that fails to
// load stops it before applications, media and campaigns are written.
#pragma once

#include <filesystem>
#include <string>

#include "kivo/dates.h"
#include "server/console_store.h"

namespace kivo::console {

// Checks that the pack loads whole, copies it to DATA/packs/PACK/VERSION.pack and records it and
// its media descriptions. The version is now's version string, or one second past the newest.
PackVersion publishPack(ConsoleStore& store, const std::filesystem::path& packFile, const std::string& pack,
                        bool force, Date now);

// Seed file:
//   {"applications": [{"app_id", "secret_key", "pack", "name"}],
//    "packs": [{"name", "file"}],          (files relative to the seed file; published when the
//                                            pack has no version yet)
//    "media": {"ID": {description}},
//    "campaigns": [{"_id", "media_id", "name", "items": [{"_id", "type", "rel", ...}]}]}
// Records are added or replaced; nothing else is removed.
void seedStore(ConsoleStore& store, const std::filesystem::path& seedFile, Date now);

}  // namespace kivo::console
