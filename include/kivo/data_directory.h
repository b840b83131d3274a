// The directory where the library keeps its files: the settings store, "KIVOAudioDB.pack" and
// downloaded packs (the manager's documents directory).
#pragma once

#include <filesystem>

#include "kivo/export.h"

namespace kivo {

// The host's directory if set, else $XDG_DATA_HOME/kivo, else ~/.local/share/kivo. It may not
// exist yet. Thread-safe.
KIVO_API std::filesystem::path dataDirectory();

// Sets the directory for every later use; an empty path restores the default. Set it before the
// library first touches its files (the settings store follows a change on its next access).
// Thread-safe.
KIVO_API void setDataDirectory(std::filesystem::path directory);

}  // namespace kivo
