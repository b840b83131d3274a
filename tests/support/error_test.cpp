#include "kivo/error.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "common/virtual_time.h"
#include "kivo/log.h"

namespace {

using namespace std::chrono_literals;
using kivo::Error;
using kivo::KIVOError;
using kivo::Notification;
using kivo::NotificationCenter;

// Collects the "kivo.error" notifications posted while in scope.
struct ErrorObserver {
  std::mutex mutex;
  std::vector<Notification> seen;
  kivo::ScopedObserver observer{NotificationCenter::defaultCenter(), "kivo.error", [this](const Notification& n) {
                                  std::lock_guard lock(mutex);
                                  seen.push_back(n);
                                }};
  size_t count() {
    std::lock_guard lock(mutex);
    return seen.size();
  }
};

// Posts code 501 at each virtual time (seconds from the start) and returns which were posted.
std::vector<bool> postAudioFaults(KIVOError& reporter, kivo::test::VirtualTime& time, ErrorObserver& observer,
                                  const std::vector<double>& at) {
  std::vector<bool> posted;
  const auto start = kivo::monotonicNow();
  for (double seconds : at) {
    auto target = start + std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds));
    time.advance(target - kivo::monotonicNow());
    size_t before = observer.count();
    reporter.post(kivo::KIVOErrorCodeAudioRecorderFailed, "AudioQueueStart failed");
    posted.push_back(observer.count() > before);
  }
  return posted;
}

TEST(KIVOError, AudioFaultsPostOnlyAsTheFourthOfARunAndThenStaySilentFor300Seconds) {
  struct Case {
    const char* name;
    std::vector<double> at;
    std::vector<bool> posted;
  } cases[] = {
      {"run of four, a fifth, then a new run after 300 s",
       {0, 3, 6, 9, 12, 309, 312, 315, 318},
       {false, false, false, true, false, false, false, false, true}},
      {"a gap of 6 s breaks the run", {0, 3, 6, 12, 15, 18, 21}, {false, false, false, false, false, false, true}},
      {"gaps of exactly 5 s still make a run", {0, 5, 10, 15}, {false, false, false, true}},
      {"exactly 300 s after the last post is allowed",
       {0, 1, 2, 3, 300, 301, 302, 303},
       {false, false, false, true, false, false, false, true}},
      {"299.5 s after the last post is too soon",
       {0, 1, 2, 3, 297, 298, 299, 302.5, 303},
       {false, false, false, true, false, false, false, false, true}},
      {"a late fourth fault after a long silence is stored", {0, 3, 6, 400, 403, 406, 412}, {false, false, false, false, false, false, false}},
  };
  for (const auto& c : cases) {
    kivo::test::VirtualTime time;
    KIVOError reporter;
    ErrorObserver observer;
    EXPECT_EQ(postAudioFaults(reporter, time, observer, c.at), c.posted) << c.name;
  }
}

TEST(KIVOError, TheFilterIgnoresStepsOfTheWallClock) {
  kivo::test::VirtualTime time;
  KIVOError reporter;
  ErrorObserver observer;
  EXPECT_EQ(postAudioFaults(reporter, time, observer, {0, 1, 2, 3}), (std::vector<bool>{false, false, false, true}));
  time.clock().setWallTime(kivo::now() - 24h);  // the user sets the device clock back a day
  EXPECT_EQ(postAudioFaults(reporter, time, observer, {300, 301, 302, 303}),
            (std::vector<bool>{false, false, false, true}));
}

TEST(KIVOError, OtherCodesArePostedEveryTimeWithTheirPayload) {
  kivo::test::VirtualTime time;
  kivo::test::LogCapture log;
  ErrorObserver observer;
  for (int i = 0; i < 20; ++i) KIVOError::postErrorNotificationWithErrorCode(kivo::KIVOErrorCodeNetworkUnreachable);
  KIVOError::postErrorNotificationWithErrorCode(504, "Downloaded file not exists");
  ASSERT_EQ(observer.count(), 21u);
  const Notification& plain = observer.seen.front();
  EXPECT_EQ(plain.name, "kivo.error");
  EXPECT_EQ(std::any_cast<Error>(plain.object), (Error{"KIVO", 400, std::nullopt}));
  EXPECT_TRUE(plain.userInfo.is_null());
  const Notification& reasoned = observer.seen.back();
  EXPECT_EQ(std::any_cast<Error>(reasoned.object), (Error{"KIVO", 504, std::nullopt}));
  EXPECT_EQ(reasoned.userInfo, (nlohmann::json{{"reason", "Downloaded file not exists"}}));
  EXPECT_TRUE(log.contains("KIVOError: Posting error code 400 reason [Unknown]"));
  EXPECT_TRUE(log.contains("KIVOError: Posting error code 504 reason [Downloaded file not exists]"));
}

TEST(KIVOError, StoredFaultsAreLoggedOnlyInDebugMode) {
  kivo::test::VirtualTime time;
  const std::string stored =
      "KIVOError: Storing error code 501 but not notify because the discontinueing error is not fault ;-)";
  KIVOError reporter;
  {
    kivo::test::LogCapture log;
    reporter.post(501, std::nullopt);
    EXPECT_TRUE(log.lines().empty());
  }
  kivo::setDebugLinesEnabled(true);
  kivo::test::LogCapture log;
  reporter.post(501, std::nullopt);
  kivo::setDebugLinesEnabled(false);
  EXPECT_EQ(log.lines(), std::vector<std::string>{stored});
}

TEST(KIVOError, ErrorValues) {
  EXPECT_EQ(KIVOError::errorWithErrorCode(504, "timed out"), (Error{"KIVO", 504, "timed out"}));
  EXPECT_EQ(KIVOError::errorWithErrorCode(502), (Error{"KIVO", 502, std::nullopt}));
  EXPECT_EQ(KIVOError::errorWithErrorCode(504, "timed out").description(), "Error Domain=KIVO Code=504 \"timed out\"");
  EXPECT_EQ(&KIVOError::shared(), &KIVOError::shared());
}

TEST(KIVOError, SimultaneousAudioFaultsPostOnceAndOtherCodesAllArrive) {
  kivo::test::VirtualTime time;  // the clock stands still: every fault is at the same instant
  KIVOError reporter;
  ErrorObserver observer;
  constexpr int kThreads = 8, kEach = 25;
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kEach; ++i) reporter.post(t % 2 ? 501 : 401, std::nullopt);
    });
  for (auto& thread : threads) thread.join();
  size_t audio = 0, auth = 0;
  for (const auto& n : observer.seen) (std::any_cast<Error>(n.object).code == 501 ? audio : auth)++;
  EXPECT_EQ(audio, 1u);
  EXPECT_EQ(auth, size_t{kThreads / 2 * kEach});
}

}  // namespace
