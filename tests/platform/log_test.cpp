#include "kivo/log.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "common/log_capture.h"

namespace {

TEST(LogSink, InstalledSinkReceivesEveryLineFromEveryThread) {
  kivo::test::LogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 100; ++i) kivo::logLine("line");
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(capture.lines().size(), 400u);
  EXPECT_TRUE(capture.contains("line"));
}

TEST(LogSink, EmptySinkRestoresStderr) {
  {
    kivo::test::LogCapture capture;
  }
  testing::internal::CaptureStderr();
  kivo::logLine("to stderr");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr\n");
}

}  // namespace
