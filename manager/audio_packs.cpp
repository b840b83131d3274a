// Loading packs into the matcher, clearing the database, custom packs and the recent-pack check.
#include <exception>
#include <system_error>

#include "kivo/format.h"
#include "kivo/http.h"
#include "kivo/kivo_matcher.h"
#include "kivo/kivo_notification.h"
#include "kivo/log.h"
#include "kivo/manager.h"
#include "manager/auth_answer.h"

namespace kivo {

namespace {

// Loads paths in order into target in one add; stops at the first pack that fails. No exception
// leaves it.
bool loadInto(KIVOMatcher& target, const std::vector<std::filesystem::path>& paths) {
  target.beginAdd();
  for (const auto& path : paths) {
    bool loaded = false;
    try {
      loaded = target.addAudioPackWithPath(path);
    } catch (const std::exception& e) {
      logLine(format("[ERROR] audiopack %@ raised: %@", path, e.what()));
    } catch (...) {
      logLine(format("[ERROR] audiopack %@ raised an unknown exception", path));
    }
    if (!loaded) {
      logLine(format("[ERROR] Failed to load audiopack %@", path));
      target.finishAdd();
      return false;
    }
  }
  target.finishAdd();
  return true;
}

nlohmann::json pathList(const std::vector<std::filesystem::path>& paths) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& path : paths) list.push_back(path.string());
  return list;
}

}  // namespace

bool KIVOManager::loadAudioPackPaths(const std::vector<std::filesystem::path>& paths) {
  return loadInto(*matcher(), paths);
}

void KIVOManager::loadAudioPackPaths(std::vector<std::filesystem::path> paths, CompletionHandler handler) {
  loadingCount_->fetch_add(1);
  configureDebugOutput();
  dispatch::Queue::global().async(
      [target = matcher(), count = loadingCount_, paths = std::move(paths), handler = std::move(handler)] {
        const bool loaded = loadInto(*target, paths);
        count->fetch_sub(1);
        KIVONotification::postAudiopackLoadedNotificationWithAFPCount(target->count());
        if (handler) dispatch::Queue::main().async([handler, loaded] { handler(loaded); });
      });
}

void KIVOManager::clearIDBWithCompletionHandler(CompletionHandler handler) {
  if (debugMode()) logLine("Start to clear IDB");
  loadingCount_->fetch_add(1);
  replaceMatcher();
  dispatch::Queue::global().async(
      [target = matcher(), count = loadingCount_, barrier = barrierBundlePath(), handler = std::move(handler)] {
        bool cleared = true;
        if (barrier) {
          std::error_code ec;
          if (std::filesystem::is_regular_file(*barrier, ec)) {
            loadInto(*target, {*barrier});
          } else {
            logLine("FailedClearIDB: Failed to clear IDB because barrier bundle file is not exists");
            cleared = false;
          }
        }
        count->fetch_sub(1);
        if (cleared && debugLinesEnabled()) logLine("Complete to clear IDB. Calling completion handler...");
        if (handler) handler(cleared);
      });
}

void KIVOManager::prepareWithCustomAudioPackPaths(std::vector<std::filesystem::path> paths) {
  endChain();
  if (debugMode()) logLine(format("try to preload audio packs: %@", pathList(paths)));
  useCustomAudioPacks_ = true;
  prepareStatus_ = KIVOPrepareStatusLoadingCustomAudioPacks;
  type_ = KIVOManagerDetectTypeIAR;
  auto list = pathList(paths);
  loadAudioPackPaths(std::move(paths), [weak = weak_from_this(), gen = generation_, list](bool loaded) {
    const auto self = weak.lock();
    if (!self || gen != self->generation_) return;
    if (!loaded) return logLine(format("ERROR: Failed to load audio pack paths: %@", list));
    self->configureDebugOutput();
    self->type_ = KIVOManagerDetectTypeIAR;
    self->prepareAuth();
  });
}

void KIVOManager::checkRecentAudioPack(URLHandler handler) {
  const auto client = http();
  if (!client) return;
  client->postWithURL(
      apiURLWithSuffix("/v1_prefix/update_afp"), {{"session", sessionID()}},
      [handler = std::move(handler)](std::optional<Bytes> body, std::optional<HTTPResponse> response,
                                     std::optional<Error> error) {
        std::optional<std::string> url;
        if (error) {
          logLine(format("failed to check update audio pack: %@", error->description()));
        } else if (response && response->statusCode == 200) {
          std::string text = body ? std::string(body->begin(), body->end()) : std::string();
          logLine(format("update_afp responses: %@", text));
          if (manager::isSecureURL(text))
            url = std::move(text);
          else
            logLine(format("[WARN] update_afp url was rejected: %@", text));
        } else {
          logLine(format("request not sueecceded: status code %d", response ? response->statusCode : 0));
        }
        if (handler) handler(std::move(url));
      });
}

}  // namespace kivo
