// Ten virtual minutes of listening with repeat: six pieces of the recording in turn, the console
// failing two activity reports in every four. Every hit reaches the host once, in order.
#include <gtest/gtest.h>

#include "recognition_fixture.h"

namespace kivo::test {
namespace {

TEST_F(RecognitionTest, TenMinutesWithAFailingConsole) {
  constexpr size_t kSegments = 20;  // 30 s each
  Bytes pcm;
  std::vector<std::string> expected;
  for (size_t k = 0; k < kSegments; ++k) {
    const uint32_t seed = uint32_t(k % 3 + 1);
    const auto part = distortedExcerpt(piece(seed), double(k % 4) * 2.5, 30.0, uint32_t(100 + k));
    pcm.insert(pcm.end(), part.begin(), part.end());
    expected.push_back("m" + std::to_string(seed));
  }
  activity = [](size_t n) {
    return n % 4 < 2 ? ConsoleAnswer{503, "down"} : ConsoleAnswer{200, R"({"campaign":{}})"};
  };
  prepareLocal();
  play(std::move(pcm));
  start(KIVOManagerDetectTypeIAR, true);
  run(double(kSegments) * 30.0 + 4.0);
  pumpMainUntil([&] { return !manager->matching(); });
  time->settle();
  EXPECT_TRUE(manager->running());
  EXPECT_EQ(resultIDs(), expected);
  EXPECT_GE(activityCount(), 2 * expected.size());
  EXPECT_TRUE(store->pendingItems().empty());
  manager->stop();
  EXPECT_FALSE(queueRecorder.recording());
}

}  // namespace
}  // namespace kivo::test
