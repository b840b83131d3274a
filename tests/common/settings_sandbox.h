// Points the data directory, and with it the standard settings store, at a fresh temporary
// directory for the scope. reopen() drops the store's memory, as a new process would.
#pragma once

#include "common/temp_dir.h"
#include "kivo/data_directory.h"

namespace kivo::test {

class SettingsSandbox {
 public:
  SettingsSandbox() { setDataDirectory(dir_.path()); }
  ~SettingsSandbox() { setDataDirectory({}); }
  SettingsSandbox(const SettingsSandbox&) = delete;
  SettingsSandbox& operator=(const SettingsSandbox&) = delete;

  const std::filesystem::path& path() const { return dir_.path(); }
  // The next UserDefaults::standard() reads the file again.
  void reopen() {
    setDataDirectory(other_.path());
    setDataDirectory(dir_.path());
  }

 private:
  TempDir dir_, other_;
};

}  // namespace kivo::test
