// The singleton and its construction; each concern of the manager has a file of its own.
#include "kivo/manager.h"

namespace kivo {

KIVOManager& KIVOManager::sharedManager() {
  static auto* instance = new KIVOManager(ConsoleConfiguration::shared());  // lives for the process
  return *instance;
}

std::unique_ptr<KIVOManager> KIVOManager::makeIndependent() {
  return std::unique_ptr<KIVOManager>(new KIVOManager(ConsoleConfiguration::create()));
}

KIVOManager::KIVOManager(std::shared_ptr<ConsoleConfiguration> configuration)
    : configuration_(std::move(configuration)) {}

}  // namespace kivo
