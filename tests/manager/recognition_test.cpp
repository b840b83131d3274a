// Recognition runs end to end: a distorted recording played through the recorder, local matching,
// cloud and live queries against the scripted console, the watchdog and the run's edges.
#include <gtest/gtest.h>

#include "audiopack/named_exception.h"
#include "kivo/continuous_hit_manager.h"
#include "kivo/kivo_matcher.h"
#include "kivo/match_result.h"
#include "recognition_fixture.h"

namespace kivo::test {
namespace {

// Ten seconds of piece 2 from 12 s: three blocks, each inside the piece.
Bytes recording() { return distortedExcerpt(piece(2), 12.0, 10.0); }

TEST_F(RecognitionTest, LocalRunRecognisesTheRecordingAndStopsWithoutRepeat) {
  prepareLocal();
  std::vector<double> intervals;
  std::atomic<uint64_t> rawBytes{0};
  manager->setMatchIntervalHandler([&](double seconds) { intervals.push_back(seconds); });
  manager->setRawBufferHandler([&](const uint8_t*, uint64_t size) { rawBytes += size; });
  play(recording());
  start(KIVOManagerDetectTypeIAR, false);
  ASSERT_TRUE(manager->running());
  run(4.0);
  ASSERT_TRUE(waitResults(1));
  const auto& result = *results[0].first;
  EXPECT_FALSE(results[0].second);
  // resultType 1: the metadata on top of position, duration, score and campaign.
  EXPECT_EQ(result["_id"], "m2");
  EXPECT_EQ(result["title"], "Piece 2");
  EXPECT_EQ(result["campaign"]["title"], "spring");
  EXPECT_NEAR(result["position"].get<double>() / 1000.0, 12.0 + 1.125, 0.1);
  EXPECT_NEAR(result["duration"].get<double>(), 40.0, 1.0);  // the fingerprint's length
  EXPECT_GE(result["score"].get<double>(), 0.0);
  EXPECT_EQ(intervals.size(), 1u);
  EXPECT_GE(rawBytes.load(), 104000u);
  // Without repeat the first delivered result ends the run, and the IDB with it.
  EXPECT_FALSE(manager->running());
  EXPECT_EQ(manager->prepareStatus(), KIVOPrepareStatusIdle);
  EXPECT_FALSE(queueRecorder.recording());
  EXPECT_EQ(activityCount(), 1u);
}

TEST_F(RecognitionTest, ResultShapesByResultType) {
  for (const int32_t type : {0, 2}) {
    SCOPED_TRACE(type);
    results.clear();
    manager->setResultType(type);
    prepareLocal();
    play(recording());
    start(KIVOManagerDetectTypeIAR, false);
    run(4.0);
    pumpMainUntil([&] { return !manager->running(); });
    EXPECT_FALSE(manager->running());  // the run ends after the report, delivered or not
    if (type == 0) {
      ASSERT_EQ(results.size(), 1u);
      const auto& r = *results[0].first;
      EXPECT_EQ(r["result"]["_id"], "m2");
      EXPECT_EQ(r["campaign"]["title"], "spring");
      EXPECT_TRUE(r.contains("position") && r.contains("score") && r.contains("duration"));
    } else {
      EXPECT_TRUE(results.empty());
    }
    manager->hitManager()->reset();
  }
}

TEST_F(RecognitionTest, RepeatKeepsRunningAndReportsAMediaOnce) {
  prepareLocal();
  play(recording());
  start(KIVOManagerDetectTypeIAR, true);
  run(10.0);
  ASSERT_TRUE(waitResults(1));
  time->settle();
  EXPECT_TRUE(manager->running());
  EXPECT_EQ(resultIDs(), std::vector<std::string>{"m2"});  // hit policy Once
  EXPECT_EQ(activityCount(), 1u);
}

TEST_F(RecognitionTest, HitPoliciesAgainstTheirTimeouts) {
  // Six blocks of one media, 3.264 s apart on the virtual clock (undistorted: every block recognised);
  // a block is matched within one 0.512 s step of its end, so hits are 2.56 to 4.1 s apart.
  const Bytes whole = piece(2);
  const Bytes clean(whole.begin() + 12 * 32000, whole.begin() + 32 * 32000);
  struct Row {
    int32_t policy;
    double timeout;
    size_t delivered;
  };
  for (const Row row : {Row{KIVOContinuousHitPolicyAlways, 0, 6}, Row{KIVOContinuousHitPolicyOnce, 0, 1},
                        Row{KIVOContinuousHitPolicyTimeout, 6.0, 3}, Row{KIVOContinuousHitPolicyTimeout, 2.0, 6},
                        Row{KIVOContinuousHitPolicyLength, 0, 1}, Row{5, 0, 1}}) {
    SCOPED_TRACE(row.policy);
    results.clear();
    auto hits = std::make_shared<KIVOContinuousHitManager>();
    hits->setPolicy(row.policy);
    hits->setTimeout(row.timeout);
    manager->setHitManager(hits);
    prepareLocal();
    play(clean);
    const size_t reports = activityCount();
    start(KIVOManagerDetectTypeIAR, true);
    run(21.0);
    // Every report's answer comes back; then nothing more.
    EXPECT_TRUE(pumpMainUntil(
        [&] { return results.size() >= row.delivered && activityCount() - reports == results.size(); }));
    time->settle();
    EXPECT_EQ(results.size(), row.delivered);
    manager->stop();
  }
}

TEST_F(RecognitionTest, CampaignMissingIsLeftOutAndAFailedReportIsRetriedOnTheNextBlock) {
  activity = [](size_t n) { return n == 0 ? ConsoleAnswer{500, "busy"} : ConsoleAnswer{200, "{}"}; };
  prepareLocal();
  play(recording());
  start(KIVOManagerDetectTypeIAR, true);
  run(10.0);
  ASSERT_TRUE(waitResults(1));
  EXPECT_EQ(activityCount(), 2u);
  EXPECT_TRUE(log->contains("KIVOManager: received nil recognition result"));
  EXPECT_EQ(resultIDs(), std::vector<std::string>{"m2"});
  EXPECT_FALSE(results[0].first->contains("campaign"));
}

TEST_F(RecognitionTest, AnswersOfAStoppedRunNeverReachTheNext) {
  prepareLocal();
  activityGate.close();
  play(recording());
  start(KIVOManagerDetectTypeIAR, false);
  run(4.0);
  ASSERT_TRUE(pumpMainUntil([&] { return activityCount() == 0 && server->requestCount() > 1; }));
  manager->stop();
  prepareLocal();
  play(Bytes(16000 * 2 * 4, 0));  // silence: the new run finds nothing
  start(KIVOManagerDetectTypeIAR, false);
  activityGate.open();
  ASSERT_TRUE(pumpMainUntil([&] { return activityCount() == 1; }));
  run(4.0);
  EXPECT_TRUE(results.empty());
  EXPECT_TRUE(manager->running());
}

TEST_F(RecognitionTest, StartEdges) {
  // No type yet.
  try {
    manager->startWithRepeat(false, {});
    FAIL() << "no exception";
  } catch (const NamedException& e) {
    EXPECT_EQ(e.name(), "Recognition Type Error");
    EXPECT_EQ(e.reason(), "You must assign detect type by using prepareWithType: method");
  }
  // Token mode at status 0: the start prepares and records nothing.
  auto permission = std::make_shared<HeldPermission>();
  queueRecorder.setRecordPermissionProvider(permission);
  play(recording());
  manager->startWithType(KIVOManagerDetectTypeCloud, false, {});
  permission->answer(true);
  waitFor(KIVOPrepareStatusCompleted, 1);
  EXPECT_FALSE(manager->running());
  EXPECT_TRUE(log->contains("[INFO] start skipped: preparation status 0"));

  // A stop before the answer, and two starts before it: one run at most, no orphan watchdog.
  manager->startWithType(KIVOManagerDetectTypeCloud, false, {});
  manager->startWithType(KIVOManagerDetectTypeCloud, false, {});
  EXPECT_TRUE(log->contains("already running. use stop method before."));
  manager->stop();
  permission->answer(true);
  time->settle();
  EXPECT_FALSE(manager->running());
  EXPECT_EQ(sourcesMade.load(), 0u);

  prepareCloud();
  manager->startWithType(KIVOManagerDetectTypeCloud, false, {});
  permission->answer(true);
  time->settle();
  EXPECT_TRUE(manager->running());
  EXPECT_EQ(sourcesMade.load(), 1u);
  const size_t asked = permission->asked();
  manager->startWithType(KIVOManagerDetectTypeIAR, true, {});  // a second start while one runs
  EXPECT_EQ(permission->asked(), asked);
  EXPECT_EQ(manager->detectType(), KIVOManagerDetectTypeCloud);
  manager->stop();
  const size_t lines = log->lines().size();
  time->advance(std::chrono::seconds(60));
  EXPECT_EQ(log->lines().size(), lines);  // no watchdog tick, no restart
  EXPECT_EQ(sourcesMade.load(), 1u);

  // Denied: 402, not running.
  manager->startWithType(KIVOManagerDetectTypeCloud, false, {});
  permission->answer(false);
  time->settle();
  EXPECT_FALSE(manager->running());
  EXPECT_TRUE(log->contains("Grating audio record permission was denied"));
  EXPECT_EQ(errorCodes(), std::vector<int64_t>{KIVOErrorCodeRecordPermissionDenied});
}

TEST_F(RecognitionTest, WatchdogRestartsAStalledOrInterruptedRecorder) {
  prepareLocal();
  // The source fails after 2 s, as a device that went away.
  play(Bytes(16000 * 2 * 2, 0), -19);
  start(KIVOManagerDetectTypeIAR, true);
  run(9.0);
  EXPECT_GE(sourcesMade.load(), 2u);
  EXPECT_TRUE(manager->running());

  // An interruption: the tick restarts capture once it has ended.
  play(Bytes(16000 * 2 * 60, 0));
  run(3.0);
  const size_t before = sourcesMade.load();
  queueRecorder.interruptNotification(1);
  time->settle();
  EXPECT_TRUE(queueRecorder.interrupting());
  manager->applicationDidEnterBackground();
  EXPECT_TRUE(queueRecorder.inBackground());
  run(3.5);
  EXPECT_GT(sourcesMade.load(), before);
  manager->applicationDidBecomeActive();
  EXPECT_FALSE(queueRecorder.inBackground());
}

TEST_F(RecognitionTest, CloudRunRecognisesAndStops) {
  prepareCloud();
  manager->setCutoff(-25.7);
  std::vector<size_t> bodies;
  manager->setCloudResponseHandler([&](std::optional<Bytes> body, std::optional<Error>) {
    bodies.push_back(body ? body->size() : 0);
  });
  play(recording());
  start(KIVOManagerDetectTypeCloud, false);
  run(4.0);
  ASSERT_TRUE(waitResults(1));
  EXPECT_EQ(resultIDs(), std::vector<std::string>{"m2"});
  EXPECT_EQ(bodies.size(), 1u);
  EXPECT_FALSE(manager->running());
  const auto forms = queryForms();
  ASSERT_FALSE(forms.empty());
  EXPECT_EQ(forms[0].at("cutoff"), "-25");
  EXPECT_EQ(forms[0].at("session"), manager->sessionID());
  EXPECT_EQ(forms[0].at("afp").size() % 8, 0u);
}

TEST_F(RecognitionTest, StopDuringEveryRequestInFlight) {
  // A query held while the run stops: its answer is not delivered (activity: AnswersOfAStoppedRun).
  prepareCloud();
  queryGate.close();
  awaitRequests = false;
  play(recording());
  start(KIVOManagerDetectTypeCloud, false);
  run(4.0);
  ASSERT_TRUE(pumpMainUntil([&] { return queryCount() == 1; }));
  manager->stop();
  queryGate.open();
  pumpMainUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_TRUE(results.empty());
  EXPECT_FALSE(manager->matching());

  // LIVE: the second block sends the first; its answer is held while the run stops.
  manager->prepareWithType(KIVOManagerDetectTypeLive);
  queryGate.close();
  play(distortedExcerpt(piece(2), 5.0, 12.0));
  start(KIVOManagerDetectTypeLive, true);
  run(10.5);
  ASSERT_TRUE(pumpMainUntil([&] { return queryCount() == 2; }));
  manager->stop();
  queryGate.open();
  pumpMainUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_TRUE(results.empty());
  queueRecorder.setRequiredBufferSize(KIVOAudioQueueRecorder::kDefaultRequiredBufferSize);
}

TEST_F(RecognitionTest, LiveSendsTheBlockBeforeTheNewestAndSuppressesRepeats) {
  prepareCloud();
  manager->stop();
  manager->prepareWithType(KIVOManagerDetectTypeLive);  // completes at once
  ASSERT_EQ(manager->prepareStatus(), KIVOPrepareStatusCompleted);
  play(distortedExcerpt(piece(2), 5.0, 20.0));
  start(KIVOManagerDetectTypeLive, true);
  EXPECT_EQ(queueRecorder.requiredBufferSize(), 160000u);
  run(5.2);  // block A: queued, nothing sent
  EXPECT_EQ(queryCount(), 0u);
  EXPECT_EQ(manager->audioDataQueueCount(), 1u);
  run(15.0);  // B, C: A and B sent
  ASSERT_TRUE(pumpMainUntil([&] { return queryCount() == 2 && !manager->matching(); }));
  time->settle();
  EXPECT_EQ(resultIDs(), std::vector<std::string>{"m2"});  // the second answer of m2 is refused
  const auto forms = queryForms();
  EXPECT_EQ(forms[0].at("SilenceRate"), "0.05");
  EXPECT_EQ(forms[0].at("session_id"), manager->sessionID());
  manager->stop();
  EXPECT_EQ(manager->audioDataQueueCount(), 0u);
  queueRecorder.setRequiredBufferSize(KIVOAudioQueueRecorder::kDefaultRequiredBufferSize);
}

TEST_F(RecognitionTest, QueryAnswersRouting) {
  struct Row {
    ConsoleAnswer answer;
    bool cloudResponse;  // cloudResponseHandler called
    std::string delivered;  // "m2", "" for an error, "-" for nothing
    const char* line;
  };
  const std::vector<Row> rows = {
      {{404, "nope"}, false, "-", nullptr},
      {{200, "not json"}, true, "", "failed to deserialize JSON"},
      {{200, R"({"success":0,"result":{"_id":"m2"}})"}, true, "-", nullptr},
      {{200, R"({"success":0.5,"result":{"_id":"m2"}})"}, true, "-", nullptr},
      {{200, R"({"success":1})"}, true, "-", "no result object. is broken data?"},
      {{200, R"({"success":1,"result":{"_id":"m2"}})"}, true, "m2", nullptr},
  };
  prepareCloud();
  play(recording());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.answer.body);
    results.clear();
    queryAnswer = [&](size_t) { return row.answer; };
    bool called = false;
    manager->startWithType(KIVOManagerDetectTypeCloud, true, [&](auto r, auto e) { results.emplace_back(r, e); });
    time->settle();
    manager->setCloudResponseHandler([&](auto, auto) { called = true; });
    manager->handleQueryAPIResponses(std::nullopt, std::nullopt, Error{"test", 1, std::nullopt});
    ASSERT_EQ(results.size(), 1u);  // a transport error reaches the host, and the run goes on
    results.clear();
    called = false;
    const size_t before = queryCount();
    run(4.0);
    EXPECT_TRUE(pumpMainUntil([&] { return queryCount() > before && !manager->matching(); }))
        << queryCount() << " " << before << " " << manager->matching() << " " << manager->running();
    time->settle();
    EXPECT_EQ(called, row.cloudResponse);
    if (row.delivered == "-") {
      EXPECT_TRUE(results.empty());
    } else {
      ASSERT_FALSE(results.empty());
      EXPECT_EQ(resultIDs()[0], row.delivered);
    }
    if (row.line) {
      bool found = false;
      for (const auto& l : log->lines()) found = found || l.find(row.line) != std::string::npos;
      EXPECT_TRUE(found);
    }
    manager->stop();
    prepareCloud();
  }
}

TEST_F(RecognitionTest, Freshness) {
  const KIVOMatchResult a("a", 1, 0, 1, nullptr), b("b", 1, 0, 1, nullptr);
  EXPECT_FALSE(manager->isFreshResult(nullptr));
  EXPECT_TRUE(manager->isFreshResult(&a));
  EXPECT_FALSE(manager->isFreshResult(&a));
  EXPECT_TRUE(manager->isFreshResult(&b));
  const nlohmann::json live = {{"channel", "b"}}, other = {{"channel", "c"}}, none = {{"x", 1}};
  EXPECT_FALSE(manager->isFreshLiveResult(&live));  // shares the last identifier
  EXPECT_TRUE(manager->isFreshLiveResult(&other));
  EXPECT_FALSE(manager->isFreshLiveResult(&none));
  manager->clearState();
  EXPECT_TRUE(manager->isFreshLiveResult(&other));
}

}  // namespace
}  // namespace kivo::test
