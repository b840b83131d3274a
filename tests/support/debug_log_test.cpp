#include "kivo/debug_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <latch>
#include <regex>
#include <set>
#include <thread>

#include "common/log_capture.h"
#include "common/temp_dir.h"
#include "common/time_zone.h"
#include "common/virtual_time.h"
#include "kivo/log.h"

namespace {

using kivo::KIVODebugLogger;

std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(KIVODebugLog, WithoutAPathNothingIsWrittenAnywhere) {
  kivo::test::LogCapture log;
  KIVODebugLogger logger;
  logger.setDumpNSLog(true);
  logger.put("lost");
  ASSERT_FALSE(KIVODebugLogger::sharedLogger().path());
  kivo::KIVODebugLog("also %@", "lost");
  EXPECT_TRUE(log.lines().empty());
}

TEST(KIVODebugLog, EntriesCarryTheLocalTimeStampAndTheFirstEntryOfARunReplacesTheOldFile) {
  kivo::test::TempDir dir;
  const auto path = (dir.path() / "debug.log").string();
  kivo::test::ScopedTimeZone tz("JST-9");
  kivo::test::VirtualTime time;  // 2025-03-02 00:00:00 UTC
  {
    KIVODebugLogger firstRun;
    firstRun.setPath(path);
    firstRun.put("run one");
    firstRun.put("run one again");
  }
  EXPECT_EQ(readText(path),
            "2025-03-02T09:00:00+09:00: run one\n"
            "2025-03-02T09:00:00+09:00: run one again\n");
  KIVODebugLogger secondRun;
  secondRun.setPath(path);
  secondRun.put("two\nlines");
  time.advance(std::chrono::seconds(61));
  secondRun.put(kivo::format("%d buffers, %.2f s", 3, 3.25));
  EXPECT_EQ(readText(path),
            "2025-03-02T09:00:00+09:00: two\nlines\n"
            "2025-03-02T09:01:01+09:00: 3 buffers, 3.25 s\n");
}

TEST(KIVODebugLog, ZeroOffsetIsWrittenAsZ) {
  kivo::test::ScopedTimeZone tz("UTC0");
  kivo::test::VirtualTime time;
  EXPECT_EQ(KIVODebugLogger::datetimeString(), "2025-03-02T00:00:00Z");
}

TEST(KIVODebugLog, SharedLoggerFormatsAndEchoesInDumpMode) {
  kivo::test::TempDir dir;
  const auto path = (dir.path() / "debug.log").string();
  auto& logger = KIVODebugLogger::sharedLogger();
  logger.setPath(path);
  logger.setDumpNSLog(true);
  kivo::test::LogCapture log;
  kivo::KIVODebugLog("Loading %@ (%lu records)", "KIVOAudioDB.pack", 12UL);
  logger.setDumpNSLog(false);
  logger.setPath(std::nullopt);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Loading KIVOAudioDB.pack (12 records)"});
  EXPECT_NE(readText(path).find(": Loading KIVOAudioDB.pack (12 records)\n"), std::string::npos);
}

TEST(KIVODebugLog, AnOldFileThatCannotBeRemovedCostsALogLine) {
  kivo::test::TempDir dir;
  const auto path = dir.path() / "debug.log";
  std::filesystem::create_directories(path / "inside");  // a non-empty directory stands in the way
  kivo::test::LogCapture log;
  KIVODebugLogger logger;
  logger.setPath(path.string());
  logger.put("entry");
  logger.put("entry");
  ASSERT_EQ(log.lines().size(), 1u);  // once, at the first entry
  EXPECT_EQ(log.lines()[0].rfind("Failed to remove old log file: ", 0), 0u);
}

// The host's sink runs outside the logger's lock: a sink that writes debug entries itself (or
// blocks on a thread that does) cannot deadlock the logger.
TEST(KIVODebugLog, TheHostsSinkMayWriteToTheLogger) {
  kivo::test::TempDir dir;
  KIVODebugLogger logger;
  logger.setPath((dir.path() / "debug.log").string());
  logger.setDumpNSLog(true);
  std::vector<std::string> echoed;
  kivo::setLogSink([&](std::string_view line) {
    echoed.emplace_back(line);
    if (line == "outer") logger.put("inner");
  });
  logger.put("outer");
  kivo::setLogSink(nullptr);
  EXPECT_EQ(echoed, (std::vector<std::string>{"outer", "inner"}));
  EXPECT_NE(readText(dir.path() / "debug.log").find(": inner\n"), std::string::npos);
}

TEST(KIVODebugLog, ConcurrentEntriesAreWrittenWholeAndTheOldFileReplacedOnce) {
  kivo::test::TempDir dir;
  const auto path = (dir.path() / "debug.log").string();
  std::ofstream(path) << "left by an earlier run\n";
  KIVODebugLogger logger;
  logger.setPath(path);
  constexpr int kThreads = 8, kEntries = 100;
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kEntries; ++i) logger.put(kivo::format("thread %d entry %d %@", t, i, std::string(200, 'x')));
    });
  for (auto& thread : threads) thread.join();
  std::istringstream lines(readText(path));
  const std::regex entry(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d): thread (\d) entry (\d+) x{200})");
  std::set<std::pair<int, int>> seen;
  std::vector<int> lastOf(kThreads, -1);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, entry)) << line;
    int t = std::stoi(m[2]), i = std::stoi(m[3]);
    EXPECT_EQ(lastOf[t], i - 1);  // each thread's entries in its order
    lastOf[t] = i;
    seen.emplace(t, i);
  }
  EXPECT_EQ(seen.size(), size_t{kThreads * kEntries});
}

}  // namespace
