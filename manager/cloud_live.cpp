// CLOUD and LIVE matching: each block's fingerprint goes to the console's "/query" as a multipart
// upload, and the answer is routed to the host. Fingerprints are made on the global queue; requests
// and answers are on the main queue, tagged with their run.
#include <cmath>

#include "kivo/afp_generator.h"
#include "kivo/continuous_hit_manager.h"
#include "kivo/debug_log.h"
#include "kivo/format.h"
#include "kivo/http.h"
#include "kivo/location_manager.h"
#include "kivo/log.h"
#include "kivo/manager.h"
#include "network/console_endpoints.h"

namespace kivo {

namespace {

std::string utf8Text(const Bytes& body) { return std::string(body.begin(), body.end()); }

}  // namespace

void KIVOManager::cloudMatchWithAudioBuffer(Bytes buffer) {
  if (matching_) KIVODebugLog("Previous Request was not finished but requesting new one currently. Is Server Busy?");
  if (!running_) return;
  logDebugLine("Cloud Matching...");
  sendQuery(run_, std::move(buffer), false);
}

void KIVOManager::liveMatchWithAudioBuffer(Bytes buffer) {
  if (matching_) KIVODebugLog("WARN: Live Match: Received new audio buffer but previous request was not finished.");
  if (!running_) return;
  logDebugLine("LIVE: start live matching...");
  audioDataQueue_.push_back(std::move(buffer));
  logDebugLine(
      format("LIVE: appended audio buffer data to queue. currently total queueing count is %d", audioDataQueue_.size()));
  if (audioDataQueue_.size() <= 1) {
    logDebugLine("LIVE: no queueing audio buffer data. skipping request in this time...");
    return;
  }
  Bytes oldest = std::move(audioDataQueue_.front());
  audioDataQueue_.erase(audioDataQueue_.begin());
  logDebugLine(format("LIVE: start request with most last audio buffer data %lu bytes", oldest.size()));
  sendQuery(run_, std::move(oldest), true);
}

void KIVOManager::sendQuery(uint64_t run, Bytes buffer, bool live) {
  matching_ = true;
  const std::string endpoint = apiEndpoint();
  const std::string session = sessionID();
  const double cut = cutoff();
  std::optional<Location> location;
  if (!live && useLocationService()) location = KIVOLocationManager::sharedManager().location();
  // The fields as they will go out, for the debug log.
  const auto fields = live ? console::liveQuery(session, {}).fields : console::cloudQuery(session, cut, location, {}).fields;
  if (live)
    KIVODebugLog("Start Live Match Request %@\nParameters: %@", endpoint + "/query", nlohmann::json(fields).dump());
  else
    KIVODebugLog("Start Cloud Request URL %@\nParameters: %@", endpoint + "/query", nlohmann::json(fields).dump());
  const auto client = http();
  if (!client) {
    if (live) {
      KIVODebugLog("Live Match: KIVO ERROR: Cannot instantiate HTTP");
    } else {
      logLine("KIVO ERROR: Cannot instantiate HTTP");
      KIVODebugLog("ERROR: Cannot instantiate HTTP");
    }
    matching_ = false;
    return;
  }
  dispatch::Queue::global().async([weak = weak_from_this(), run, client, endpoint, session, cut, location, live,
                                   buffer = std::move(buffer)] {
    Bytes afp = AFPFromPCM(buffer).value_or(Bytes{});
    auto request = live ? console::liveQuery(session, std::move(afp))
                        : console::cloudQuery(session, cut, location, std::move(afp));
    dispatch::Queue::main().async([weak, run, client, endpoint, request = std::move(request)] {
      const auto manager = weak.lock();
      if (!manager || run != manager->run_) return;  // the run ended while fingerprinting
      console::send(*client, endpoint, request,
                    [weak, run](std::optional<Bytes> body, std::optional<HTTPResponse> response,
                                std::optional<Error> error) {
                      const auto strong = weak.lock();
                      if (!strong) return;
                      if (run != strong->run_) {
                        logDebugLine("[INFO] query answer of an ended run dropped");
                        return;
                      }
                      strong->matching_ = false;
                      strong->handleQueryAPIResponses(std::move(body), std::move(response), std::move(error));
                    });
    });
  });
}

void KIVOManager::handleQueryAPIResponses(std::optional<Bytes> body, std::optional<HTTPResponse> response,
                                          std::optional<Error> error) {
  if (error) {
    KIVODebugLog("Cloud Response Error: %@", error->description());
    if (const auto handler = cloudResponseHandler()) handler(std::nullopt, error);
    if (const auto handler = recognitionHandler()) handler(std::nullopt, error);
    return;
  }
  const long status = response ? response->statusCode : 0;
  if (status != 200) {
    KIVODebugLog("Cloud Response Abnormal Status: %ld", status);
    return;
  }
  const Bytes bytes = body.value_or(Bytes{});
  KIVODebugLog("Cloud Response:\n%@", utf8Text(bytes));
  if (const auto handler = cloudResponseHandler()) handler(bytes, std::nullopt);
  nlohmann::json answer = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (answer.is_discarded()) {
    const Error parseError{"NSCocoaErrorDomain", 3840, std::string("The data couldn't be read because it isn't in the correct format.")};
    logLine(format("failed to deserialize JSON: %@", parseError.description()));
    if (const auto handler = recognitionHandler()) handler(std::nullopt, parseError);
    return;
  }
  if (!answer.is_object()) return;
  // The integer value of "success": 0.5 counts as 0.
  const auto success = answer.find("success");
  const bool recognised = success != answer.end() &&
                          ((success->is_number() && static_cast<int64_t>(success->get<double>()) != 0) ||
                           (success->is_boolean() && success->get<bool>()));
  if (!recognised) return;
  if (type_ == KIVOManagerDetectTypeLive) {
    if (!hitManager_->canHitWithMediaDictionary(answer)) return;
    hitManager_->hitWithMediaDictionary(answer);
    logDebugLine("Running live recognition handler...");
    if (const auto handler = recognitionHandler()) handler(answer, std::nullopt);
    return;
  }
  if (!answer.contains("result")) {
    logLine("no result object. is broken data?");
    return;
  }
  const uint64_t run = run_;
  const bool repeat = repeat_;
  if (const auto handler = recognitionHandler()) handler(answer, std::nullopt);
  // The handler may have stopped this run and started another.
  if (!repeat && run == run_) stop();
}

}  // namespace kivo
