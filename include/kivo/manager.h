// KIVOManager: the object the host application talks to, a process-wide singleton.
//
// Configuration: the console credentials, the console base URL, the API version, the debug flag
// and the detection options. The host sets them before preparing; the library reads them from any
// thread. Those accessors are thread-safe and return copies.
//
// State and preparation: the preparation status, the matcher with its audio database, the token
// and the preparation chain (local packs, authentication, download, dump). These live on the main
// queue: the host calls them there (or from the thread that drives it), and every continuation of
// the chain returns there. Pack loading and database clearing run on the global queue.
//
// Files live in the data directory (kivo/data_directory.h): the dump "KIVOAudioDB.pack" and
// downloaded packs "<14-digit version>.pack". Settings keys: "com.tarnvale.kivo.token",
// "com.tarnvale.kivo.lastversion", "DOUserDefault" and "dcuser".
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "kivo/bytes.h"
#include "kivo/console_configuration.h"
#include "kivo/continuous_hit_manager.h"
#include "kivo/dispatch.h"
#include "kivo/error.h"
#include "kivo/export.h"
#include "kivo/http.h"
#include "kivo/manager_types.h"
#include "kivo/network_reachability.h"
#include "kivo/thread_annotations.h"

namespace kivo {

class KIVOAudioRecorder;
class KIVOContinuousHitManager;
class KIVOHTTP;
class KIVOLogStore;
class KIVOMatcher;
struct KIVOApplicationRequest;
class KIVOMatchResult;

class KIVO_API KIVOManager : public std::enable_shared_from_this<KIVOManager> {
 public:
  using Date = std::chrono::system_clock::time_point;
  using RecognitionHandler = std::function<void(std::optional<nlohmann::json> result, std::optional<Error> error)>;
  using CloudResponseHandler = std::function<void(std::optional<Bytes> body, std::optional<Error> error)>;
  using RawBufferHandler = std::function<void(const uint8_t* bytes, uint64_t size)>;
  using MatchIntervalHandler = std::function<void(double seconds)>;
  using CompletionHandler = std::function<void(bool success)>;
  using URLHandler = std::function<void(std::optional<std::string> url)>;
  // Completion of the promotion calls: the answer body as received, and the transport error.
  using ResponseHandler = std::function<void(std::optional<Bytes> body, std::optional<Error> error)>;

  static constexpr std::string_view kDumpFileName = "KIVOAudioDB.pack";
  // The "v" sent when no dump version is stored.
  static constexpr std::string_view kInitialVersion = "19990101000000";
  // With a token held, retries after the first series wait twice as long each time, up to this.
  static constexpr std::chrono::seconds kMaximumRetryWait{300};
  // Default console base URL (see ConsoleConfiguration).
  static constexpr std::string_view kDefaultAPIEndpoint = ConsoleConfiguration::kDefaultAPIEndpoint;
  static constexpr int32_t kDefaultAPIVersion = ConsoleConfiguration::kDefaultAPIVersion;

  // The singleton, created on first use (thread-safe); its configuration is
  // ConsoleConfiguration::shared().
  static KIVOManager& sharedManager();
  // An instance of its own with the defaults and a configuration of its own, independent of the
  // singleton (tests); it has no activity log store. The debug flag stays library-wide. Its
  // reachability monitor watches source (null: always reachable).
  static std::shared_ptr<KIVOManager> makeIndependent();
  static std::shared_ptr<KIVOManager> makeIndependent(std::shared_ptr<ReachabilitySource> source);
  ~KIVOManager();

  KIVOManager(const KIVOManager&) = delete;
  KIVOManager& operator=(const KIVOManager&) = delete;

  // Console credentials; no defaults. Sent at authentication and in credential headers.
  std::optional<std::string> applicationID() const;
  void setApplicationID(std::optional<std::string> value);
  std::optional<std::string> secretKey() const;
  void setSecretKey(std::optional<std::string> value);

  // Prefix of every console URL, without trailing slash. Default kDefaultAPIEndpoint.
  std::string apiEndpoint() const;
  void setApiEndpoint(std::string value);

  // 1: legacy mode (credential headers, no preparation); any other value: token mode.
  int32_t apiVersion() const;
  void setApiVersion(int32_t value);

  // The library-wide debug flag: turns on the console lines marked debug. Default false.
  bool debugMode() const;
  void setDebugMode(bool value);

  // apiEndpoint followed directly by suffix: no separator inserted, no encoding applied.
  std::string apiURLWithSuffix(std::string_view suffix) const;

  // The record the configuration accessors forward to; console clients are built on it. It also
  // holds the token, so every client follows a new one.
  const std::shared_ptr<ConsoleConfiguration>& consoleConfiguration() const { return configuration_; }

  // ---- Detection options (any thread) ----
  int32_t resultType() const;  // shape of local results; default 1
  void setResultType(int32_t value);
  bool detectFreshResultOnly() const;  // kept for the host; default false
  void setDetectFreshResultOnly(bool value);
  // Matcher score cut-off, default -25.0; also set on the current matcher (not on later ones).
  double cutoff() const;
  void setCutoff(double value);
  // Default true; also set on the current matcher (not on later ones).
  bool useCutoffFilter() const;
  void setUseCutoffFilter(bool value);
  bool useLocationService() const;  // default false
  void setUseLocationService(bool value);
  bool useLegacy() const;  // kept for the host; default false
  void setUseLegacy(bool value);
  bool showNetworkActivityIndicator() const;  // copied into each client the manager builds; default true
  void setShowNetworkActivityIndicator(bool value);
  std::optional<std::string> debugLogFilePath() const;  // the debug log file, given to the logger at preparation
  void setDebugLogFilePath(std::optional<std::string> value);
  // The barrier pack, always loaded first. Default: none (the database then starts from the dump).
  // A path that names no file makes prepareWithType throw "BarrierNotFound".
  std::optional<std::filesystem::path> barrierBundlePath() const;
  void setBarrierBundlePath(std::optional<std::filesystem::path> value);
  // Callbacks kept for recognition (the start call sets the first, stop clears the first two).
  RecognitionHandler recognitionHandler() const;
  void setRecognitionHandler(RecognitionHandler handler);
  CloudResponseHandler cloudResponseHandler() const;
  void setCloudResponseHandler(CloudResponseHandler handler);
  RawBufferHandler rawBufferHandler() const;
  void setRawBufferHandler(RawBufferHandler handler);
  MatchIntervalHandler matchIntervalHandler() const;
  void setMatchIntervalHandler(MatchIntervalHandler handler);
  // When set, the watchdog checks for updates once it has passed. A date already past stores nothing.
  std::optional<Date> nextUpdateDate() const;
  void setNextUpdateDate(std::optional<Date> date);

  // ---- State (main queue) ----
  // The token of the last successful authentication (held by the console configuration); at
  // creation the stored one.
  std::optional<std::string> token() const;
  int32_t prepareStatus() const { return prepareStatus_; }
  bool prepared() const { return prepareStatus_ == KIVOPrepareStatusCompleted; }
  int32_t detectType() const { return type_; }
  int32_t retryCount() const { return retryCount_; }
  bool useCustomAudioPacks() const { return useCustomAudioPacks_; }
  bool running() const { return running_; }
  // The recorder's isRunning; false before a start took one.
  bool isRecorderRunning() const;
  // A pack load or a database clearing is under way (any thread).
  bool loadingAudioPacks() const { return loadingCount_->load() > 0; }
  // The current matcher (any thread); replaced by an empty one on stop, removeAllAudioPacks and
  // when the database is cleared. Work already started keeps the matcher it began with.
  std::shared_ptr<KIVOMatcher> matcher() const;
  std::string sessionID() const;  // the current user's session id
  // The network monitor whose changes resume a preparation waiting for the network.
  const std::shared_ptr<KIVONetworkReachability>& reachability() const { return reachability_; }
  // The data directory's file named name.
  std::filesystem::path filePathURLForAudioPackName(std::string_view name) const;
  // The shared token-mode client: with apiVersion 1 one with the credential headers; otherwise one
  // with "authorization" = the token, or nothing without a token. Rebuilt when the token or the
  // credentials it carries change.
  std::shared_ptr<KIVOHTTP> http();
  // The shared client with the credential headers, rebuilt when the credentials change.
  std::shared_ptr<KIVOHTTP> legacyHTTP();
  // True when the shared recorder's permission provider answers at once that recording is granted
  // (no provider grants).
  bool audioRecordingPermitted() const;
  // Writes the token, the stored pack version and the metadata count to the console.
  void logLocalInformations() const;

  // ---- Preparation (main queue) ----
  // Starts preparing for type: IAR loads local packs, authenticates, downloads a newer pack, dumps;
  // CLOUD (and IAR with custom packs) authenticates; LIVE completes at once. Skipped unless idle.
  // Throws NamedException-like std::runtime_error "BarrierNotFound" when barrierBundlePath names no
  // file (the status is then idle again).
  void prepareWithType(int32_t type);
  // Prepares IAR from the host's pack files (no download); ends any chain under way.
  void prepareWithCustomAudioPackPaths(std::vector<std::filesystem::path> paths);
  // Authenticates again (and so may download) when prepared for IAR without custom packs and the
  // network is reachable. A failed check posts its error and returns to completed.
  void checkUpdateAudioPacks();
  // Asks the console for the newest pack URL; handler gets an https URL or nothing. No handler is
  // called when there is no shared client.
  void checkRecentAudioPack(URLHandler handler);
  // Ends any chain under way, replaces the matcher by an empty one, status idle.
  void removeAllAudioPacks();
  // Loads paths in order into the current matcher on the global queue, posts the loaded
  // notification there, then calls handler (if any) on the main queue with whether all loaded.
  void loadAudioPackPaths(std::vector<std::filesystem::path> paths, CompletionHandler handler);
  // The same, synchronously on this thread into the current matcher; stops at the first failure.
  bool loadAudioPackPaths(const std::vector<std::filesystem::path>& paths);
  // Replaces the matcher by one holding the barrier pack only (empty without a barrier path), on the
  // global queue; handler (if any) gets true there, or false with a "FailedClearIDB" line when the
  // barrier path names no file.
  void clearIDBWithCompletionHandler(CompletionHandler handler);
  // The application became active: checks for updates while running.
  void applicationDidBecomeActive();
  // Ends the preparation chain and the run: status idle, an empty matcher.
  void stop();
  // Wipes the token, the pack version, "DOUserDefault", "dcuser" and the dump; refused while
  // running. A chain under way is ended first.
  void reset();
  // Forgets the last identifier of the freshness checks.
  void clearState();

  // Repeat-hit suppression of local matches and live answers (main queue). At creation a new one
  // with policy Once; the host may replace it (a null replacement is refused); reset() resets it.
  const std::shared_ptr<KIVOContinuousHitManager>& hitManager() const { return hitManager_; }
  void setHitManager(std::shared_ptr<KIVOContinuousHitManager> value);

  // ---- Promotion calls (main queue) ----
  // Sent with the credential client; the completion (if any) gets the body and the error as they
  // came, on the main queue, after a console line when the status is not 200. A request that
  // cannot be formed (a missing id or session, a session unsafe in a query) is not sent: the
  // completion gets nothing and a KIVOHTTPErrorBadURL error. Ids go out as encoded path segments.
  // POST "/promotion" with the request's fields.
  void applyRequest(const KIVOApplicationRequest& request, ResponseHandler complete);
  // POST "/bookmark": "session", and "item_id" when an id is given.
  void bookmarkPromotionWithPromotionID(const std::optional<std::string>& promotionID, ResponseHandler complete);
  // DELETE "/bookmark/<id>": "session".
  void unsetBookmarkWithID(const std::string& bookmarkID, ResponseHandler complete);
  // GET "/promotion?session=<session>&size=<size>&offset=<offset>".
  void getPromotionWithSize(int32_t size, int32_t offset, ResponseHandler complete);
  // GET "/promotion/<id>?session=<session>".
  void getStateWithPromotionItemID(const std::string& promotionItemID, ResponseHandler complete);
  // ---- Recognition (main queue) ----
  // The recorder a start takes (default KIVOAudioRecorder::shared()); must outlive its use.
  void setAudioRecorder(KIVOAudioRecorder* recorder) { recorderOverride_ = recorder; }
  // Where local hits are reported; the process-wide store for the singleton, none otherwise (a
  // hit is then never delivered, as without a token).
  void setActivityLogStore(std::shared_ptr<KIVOLogStore> store) { logStore_ = std::move(store); }
  // Starts a run: asks for record permission; the answer continues on the main queue only while
  // this start is still wanted (no stop, no other start came in between). In token mode a start
  // at status 0 only prepares and one at status 6 does nothing (each with a console line).
  void startWithType(int32_t type, bool repeat, RecognitionHandler handler);
  // startWithType with the current detect type; throws NamedException "Recognition Type Error"
  // when it is UNKNOWN.
  void startWithRepeat(bool repeat, RecognitionHandler handler);
  // The recorder's block callback: drops blocks while packs load (and, in token mode, before
  // preparation completes), then matches locally, in the cloud or live by the detect type.
  void handleAudioBuffer(Bytes buffer);
  // One local match; while one runs the newest block waits (one at most).
  void localMatchWithAudioBuffer(Bytes buffer);
  // One CLOUD query of the block's fingerprint.
  void cloudMatchWithAudioBuffer(Bytes buffer);
  // Queues the block and sends the one before it.
  void liveMatchWithAudioBuffer(Bytes buffer);
  // Routes a query answer to cloudResponseHandler, the hit manager and recognitionHandler.
  void handleQueryAPIResponses(std::optional<Bytes> body, std::optional<HTTPResponse> response,
                               std::optional<Error> error);
  // The 3-second watchdog: scheduled update checks, restarting a silent or interrupted recorder.
  void interruptionTimerHandler();
  // True when result's name differs from the last identifier, which then becomes it.
  bool isFreshResult(const KIVOMatchResult* result);
  // True when the answer's "channel" differs from the last identifier, which then becomes it.
  bool isFreshLiveResult(const nlohmann::json* answer);
  // The application went to the background: capture faults are no longer posted.
  void applicationDidEnterBackground();
  // A local match or a query is in flight.
  bool matching() const { return matching_; }
  // LIVE blocks waiting to be sent.
  size_t audioDataQueueCount() const { return audioDataQueue_.size(); }

 private:
  class Reachability;
  struct HitSnapshot;  // the hit manager's memory before a hit, restored when its report fails
  using MonotonicStamp = std::chrono::steady_clock::time_point;
  explicit KIVOManager(std::shared_ptr<ConsoleConfiguration> configuration);
  void init(std::shared_ptr<ReachabilitySource> source, bool useRouteSource);

  // Preparation steps; gen is the chain's generation.
  void prepareLoadAudioPacks();
  void prepareAuth();
  void handleAuthAnswer(uint64_t gen, std::optional<Bytes> body, long status, std::optional<Error> error);
  void authFailed();
  void retryPrepareAuth();
  void prepareDownload(uint64_t gen);
  void downloadFinished(uint64_t gen, const std::optional<std::filesystem::path>& location,
                        const std::optional<Error>& error);
  void prepareDump(uint64_t gen, const std::shared_ptr<KIVOMatcher>& loaded);
  void prepareCompleted();
  void reachabilityChanged();
  // Ends the chain: new generation, no auto-prepare, no retry timer, back-off reset.
  void endChain();
  void wipeStoredState();
  void configureDebugOutput();
  void setToken(std::optional<std::string> token);
  void replaceMatcher();
  bool reachable() const;
  // Recognition steps; run is the run generation the work began in.
  void permissionAnswered(uint64_t run, int32_t type, bool repeat, RecognitionHandler handler, bool granted);
  void continueStart(int32_t type, bool repeat, RecognitionHandler handler);
  void scheduleWatchdog();
  void stopRecognition();
  void localMatchFinished(uint64_t run, MonotonicStamp started, std::optional<KIVOMatchResult> result);
  void activityAnswered(uint64_t run, const nlohmann::json& media, const KIVOMatchResult& result,
                        std::shared_ptr<const HitSnapshot> before, std::optional<nlohmann::json> answer);
  void sendQuery(uint64_t run, Bytes buffer, bool live);
  KIVOAudioRecorder& audioRecorder();
  std::shared_ptr<const RawBufferHandler> sharedRawBufferHandler() const;
  std::shared_ptr<KIVOHTTP> makeClient(std::vector<std::pair<std::string, std::string>> headers) const;
  void removeDownloadedPacks() const;

  const std::shared_ptr<ConsoleConfiguration> configuration_;
  std::shared_ptr<KIVOLogStore> logStore_;  // the process-wide store for the singleton, else none
  mutable Mutex configurationMutex_;

  std::atomic<int32_t> resultType_{1};
  std::atomic<bool> detectFreshResultOnly_{false};
  double cutoff_ KIVO_GUARDED_BY(configurationMutex_) = -25.0;
  bool useCutoffFilter_ KIVO_GUARDED_BY(configurationMutex_) = true;
  std::atomic<bool> useLocationService_{false};
  std::atomic<bool> useLegacy_{false};
  std::atomic<bool> showNetworkActivityIndicator_{true};
  std::optional<std::string> debugLogFilePath_ KIVO_GUARDED_BY(configurationMutex_);
  std::optional<std::filesystem::path> barrierBundlePath_ KIVO_GUARDED_BY(configurationMutex_);
  RecognitionHandler recognitionHandler_ KIVO_GUARDED_BY(configurationMutex_);
  CloudResponseHandler cloudResponseHandler_ KIVO_GUARDED_BY(configurationMutex_);
  // Shared so that the capture thread takes it without copying the function.
  std::shared_ptr<const RawBufferHandler> rawBufferHandler_ KIVO_GUARDED_BY(configurationMutex_);
  MatchIntervalHandler matchIntervalHandler_ KIVO_GUARDED_BY(configurationMutex_);
  std::optional<Date> nextUpdateDate_ KIVO_GUARDED_BY(configurationMutex_);

  mutable Mutex matcherMutex_;
  std::shared_ptr<KIVOMatcher> matcher_ KIVO_GUARDED_BY(matcherMutex_);
  // Loads and clearings in flight; shared with the work on the global queue.
  std::shared_ptr<std::atomic<int>> loadingCount_ = std::make_shared<std::atomic<int>>(0);

  // Main queue only.
  KIVOAudioRecorder* recorderOverride_ = nullptr;
  KIVOAudioRecorder* recorder_ = nullptr;  // taken by a start
  bool repeat_ = false;
  bool awaitingPermission_ = false;
  uint64_t run_ = 0;  // bumped by every start and stop: work of an earlier run only logs
  bool matching_ = false;
  std::optional<Bytes> lastAudioBuffer_;
  std::vector<Bytes> audioDataQueue_;
  std::optional<dispatch::Timer> watchdog_;
  int32_t prepareStatus_ = KIVOPrepareStatusIdle;
  int32_t type_ = KIVOManagerDetectTypeUnknown;
  int32_t retryCount_ = 0;
  bool useCustomAudioPacks_ = false;
  bool running_ = false;
  bool autoPrepareWhenNetworkReachable_ = false;
  bool updateCheck_ = false;          // the chain under way is an update check entered from completed
  bool retrySeriesExhausted_ = false;  // a token-held series ended: later retries back off
  std::chrono::nanoseconds retryWait_{KIVOManagerRetryWaitingTimeout};
  uint64_t generation_ = 0;  // bumped by everything that ends a chain
  std::optional<std::string> downloadableURL_;
  std::optional<std::string> currentDownloadingVersion_;
  std::optional<std::string> lastIdentifier_;
  std::shared_ptr<KIVOHTTP> authHTTP_;
  std::optional<dispatch::Timer> retryTimer_;
  std::shared_ptr<KIVOHTTP> http_;
  std::string httpKey_;  // the headers http_ was built with
  std::shared_ptr<KIVOHTTP> legacyHTTP_;
  std::string legacyHTTPKey_;
  std::shared_ptr<KIVONetworkReachability> reachability_;
  std::shared_ptr<Reachability> reachabilityDelegate_;
  std::shared_ptr<KIVOContinuousHitManager> hitManager_ = makeHitManager();

  static std::shared_ptr<KIVOContinuousHitManager> makeHitManager();
};

}  // namespace kivo
