#include "kivo/data_directory.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "kivo/thread_annotations.h"

namespace kivo {
namespace {

struct DirectorySlot {
  Mutex mutex;
  std::filesystem::path directory KIVO_GUARDED_BY(mutex);  // empty means the default
};

DirectorySlot& slot() {
  static auto* instance = new DirectorySlot;
  return *instance;
}

std::filesystem::path homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return std::filesystem::temp_directory_path();
}

std::filesystem::path defaultDirectory() {
  // XDG: a relative XDG_DATA_HOME is invalid and ignored.
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') return std::filesystem::path(xdg) / "kivo";
  return homeDirectory() / ".local" / "share" / "kivo";
}

}  // namespace

std::filesystem::path dataDirectory() {
  {
    MutexLock lock(slot().mutex);
    if (!slot().directory.empty()) return slot().directory;
  }
  return defaultDirectory();
}

void setDataDirectory(std::filesystem::path directory) {
  MutexLock lock(slot().mutex);
  slot().directory = std::move(directory);
}

}  // namespace kivo
