#include "common/temp_dir.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace kivo::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kivo-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace kivo::test
