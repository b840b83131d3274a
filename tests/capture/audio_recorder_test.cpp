#include "kivo/audio_recorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "kivo/audio_queue_recorder.h"
#include "recorder_fixture.h"

namespace {

using kivo::Bytes;
using kivo::KIVOAudioRecorder;
using kivo::test::countingPCM;
using kivo::test::pumpUntil;
using kivo::test::RecorderHarness;

TEST(KIVOAudioRecorder, BlocksReachMainAsCopiesInCaptureOrder) {
  RecorderHarness h;
  const Bytes pcm = countingPCM(64 * 1024);
  h.useSource(pcm);
  KIVOAudioRecorder facade(h.recorder);
  facade.setRequiredBufferSize(4096);
  std::vector<Bytes> blocks;
  const auto mainThread = std::this_thread::get_id();
  bool onMain = true;
  facade.setBufferHandler([&](Bytes block) {
    onMain = onMain && std::this_thread::get_id() == mainThread;
    blocks.push_back(std::move(block));
  });
  std::atomic<size_t> rawBytes{0};
  facade.setRawBufferHandler([&](const uint8_t*, uint64_t size) { rawBytes += size; });
  ASSERT_TRUE(facade.prepareWithDuration(0));
  facade.start();
  h.time.settle();
  EXPECT_TRUE(facade.isRecording());
  h.time.advance(std::chrono::milliseconds(64 * 16));
  ASSERT_TRUE(pumpUntil([&] { return blocks.size() == 8; }));
  EXPECT_TRUE(onMain);
  EXPECT_EQ(rawBytes.load(), 16u * 2048);
  Bytes all;
  for (const auto& block : blocks) {
    EXPECT_EQ(block.size(), 4096u);
    all.insert(all.end(), block.begin(), block.end());
  }
  EXPECT_EQ(all, Bytes(pcm.begin(), pcm.begin() + 16 * 2048));

  facade.setBufferHandler(nullptr);  // without a handler capture goes on and blocks are dropped
  h.time.advance(std::chrono::milliseconds(64 * 4));
  ASSERT_TRUE(pumpUntil([&] { return rawBytes.load() == 20u * 2048; }));
  h.time.settle();
  EXPECT_EQ(blocks.size(), 8u);
  facade.stop();
  EXPECT_FALSE(facade.isRecording());
}

// The host replaces the raw handler over and over while the capture thread calls it.
TEST(KIVOAudioRecorder, RawHandlerReplacedDuringCapture) {
  RecorderHarness h;
  h.useSource(countingPCM(1024 * 1024), {.period = std::chrono::milliseconds(1), .chunkBytes = 2048, .endStatus = std::nullopt});
  KIVOAudioRecorder facade(h.recorder);
  std::atomic<size_t> calls{0};
  facade.start();
  h.time.settle();
  std::atomic<bool> done{false};
  std::thread clock([&] {
    while (!done) h.time.clock().advance(std::chrono::milliseconds(1));
  });
  for (int i = 0; i < 1000; ++i) {
    auto payload = std::make_shared<std::vector<int>>(64, i);  // freed with the handler
    facade.setRawBufferHandler([payload, &calls](const uint8_t*, uint64_t) { calls += payload->size() > 0; });
  }
  done = true;
  clock.join();
  facade.stop();
  EXPECT_FALSE(facade.isRecording());
  facade.setRawBufferHandler(nullptr);
}

TEST(KIVOAudioRecorder, SharedIsOneInstance) {
  std::atomic<KIVOAudioRecorder*> a{nullptr}, b{nullptr};
  std::thread first([&] { a = &KIVOAudioRecorder::shared(); });
  std::thread second([&] { b = &KIVOAudioRecorder::shared(); });
  first.join();
  second.join();
  EXPECT_EQ(a.load(), b.load());
  EXPECT_EQ(&a.load()->queueRecorder(), &kivo::KIVOAudioQueueRecorder::sharedRecorder());
}

}  // namespace
