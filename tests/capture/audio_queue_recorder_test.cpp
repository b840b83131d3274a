#include "kivo/audio_queue_recorder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <latch>
#include <thread>

#include "common/log_capture.h"
#include "kivo/audio_converter.h"
#include "kivo/dispatch.h"
#include "recorder_fixture.h"

namespace {

using namespace std::chrono_literals;
using kivo::Bytes;
using kivo::test::countingPCM;
using kivo::test::pumpUntil;
using kivo::test::RecorderHarness;

Bytes joined(const std::vector<Bytes>& blocks) {
  Bytes all;
  for (const auto& block : blocks) all.insert(all.end(), block.begin(), block.end());
  return all;
}

Bytes prefix(const Bytes& bytes, size_t n) { return Bytes(bytes.begin(), bytes.begin() + std::ptrdiff_t(n)); }

TEST(KIVOAudioQueueRecorder, BlocksArriveInCaptureOrderWithNothingLostOrRepeated) {
  RecorderHarness h;
  const Bytes pcm = countingPCM(110 * 1024);
  h.useSource(pcm);
  h.start();
  ASSERT_TRUE(h.recorder.recording());
  h.feed(50);
  EXPECT_EQ(h.delegate->blockCount(), 0u);
  EXPECT_EQ(h.recorder.sizeOfAllBuffer(), 50u * 2048);
  h.feed(1);  // the 51st buffer completes the first block: 51 x 2048 >= 104000
  ASSERT_EQ(h.delegate->blockCount(), 1u);
  h.feed(51);
  h.recorder.stopRecord();

  std::lock_guard lock(h.delegate->mutex);
  ASSERT_EQ(h.delegate->blocks.size(), 2u);
  for (const auto& block : h.delegate->blocks) EXPECT_EQ(block.size(), 104448u);
  EXPECT_EQ(joined(h.delegate->blocks), prefix(pcm, 2 * 104448));
  EXPECT_EQ(h.delegate->raw, prefix(pcm, 102 * 2048));
  for (size_t size : h.delegate->rawSizes) EXPECT_EQ(size, 2048u);
  EXPECT_EQ(h.recorder.packetCount(), 102u * 1024);
}

TEST(KIVOAudioQueueRecorder, StopJoinsTheCaptureThreadBeforeClosingTheSource) {
  RecorderHarness h;
  h.useSource(countingPCM(64 * 1024));
  std::latch inCallback(1), release(1);
  std::atomic<bool> stopReturned{false}, sourceAliveDuringCallback{false};
  std::atomic<int> calls{0};
  h.delegate->onRaw = [&] {
    if (calls++ != 0) return;
    inCallback.count_down();
    release.wait();
    sourceAliveDuringCallback = h.liveSources.load() == 1 && !stopReturned.load();
  };
  h.start();
  h.time.advance(64ms);
  inCallback.wait();
  std::thread stopper([&] {
    h.recorder.stopRecord();
    stopReturned = true;
  });
  // stopRecord cannot finish while the capture thread is inside a delegate call.
  EXPECT_TRUE(pumpUntil([&] { return !h.recorder.recording(); }));
  EXPECT_FALSE(stopReturned.load());
  release.count_down();
  stopper.join();
  EXPECT_TRUE(sourceAliveDuringCallback.load());
  EXPECT_EQ(h.liveSources.load(), 0);
  h.time.advance(640ms);
  EXPECT_EQ(calls.load(), 1);
}

// Each injected failure reaches the host as 501 with the step's reason.
TEST(KIVOAudioQueueRecorder, FailuresMapToTheirReasons) {
  using Reasons = std::vector<std::optional<std::string>>;
  {
    RecorderHarness h;
    h.useSource(countingPCM(1024));
    h.openStatus = -ENOENT;
    kivo::test::LogCapture logs;
    h.start();
    EXPECT_EQ(h.reasons(), (Reasons{"Failed to create audio input", "Failed to prepare audio services"}));
    EXPECT_TRUE(logs.contains("[KIVOAudioQueueRecorder] OSStatus with Symbol: kAudioQueueErr_InvalidDevice"));
    EXPECT_TRUE(logs.contains("Failed to AudioQueueNewInput()"));
    EXPECT_FALSE(h.recorder.recording());
    EXPECT_EQ(h.liveSources.load(), 0);
  }
  {
    RecorderHarness h;
    h.useSource(countingPCM(1024));
    h.startStatus = -EBUSY;
    h.start();
    EXPECT_EQ(h.reasons(), (Reasons{"AudioQueueStart failed", "Failed to prepare audio services"}));
    EXPECT_FALSE(h.recorder.recording());
    EXPECT_FALSE(h.recorder.capturing());
    // In the background only the second report goes out.
    h.recorder.applicationDidEnterBackground();
    h.start();
    EXPECT_EQ(h.reasons().size(), 3u);
    EXPECT_EQ(h.reasons().back(), "Failed to prepare audio services");
  }
  {
    RecorderHarness h;  // the device breaks after 4 buffers
    h.useSource(countingPCM(4 * 1024), {.period = std::chrono::milliseconds(64), .chunkBytes = 2048, .endStatus = -EIO});
    kivo::test::LogCapture logs;
    h.start();
    h.feed(4);
    EXPECT_TRUE(pumpUntil([&] { return !h.reasons().empty(); }));
    EXPECT_EQ(h.reasons(), (Reasons{"AudioQueueEnqueueBuffer failed"}));
    EXPECT_FALSE(h.recorder.isRunning());
    EXPECT_TRUE(h.recorder.recording());  // the watchdog sees the silence and restarts it
    EXPECT_TRUE(pumpUntil([&] { return logs.contains("AudioQueueEnqueueBuffer failed ##### KIVO may works invalid"); }));
  }
  {
    RecorderHarness h;  // no input at all
    h.recorder.setCaptureSourceFactory([](const std::string&) { return nullptr; });
    h.start();
    EXPECT_EQ(h.reasons(), (Reasons{"Failed to setup audio session", "Failed to prepare audio services"}));
    EXPECT_FALSE(h.recorder.available());
  }
  for (auto configure : std::vector<void (*)(kivo::KIVOAudioQueueRecorder&)>{
           [](kivo::KIVOAudioQueueRecorder& r) { r.setChannelsPerFrame(2); },
           [](kivo::KIVOAudioQueueRecorder& r) { r.setBitsPerChannel(32); },
           [](kivo::KIVOAudioQueueRecorder& r) { r.setFormatID(0x616C6177); }}) {  // "alaw"
    RecorderHarness h;  // formats other than 16-bit mono linear PCM are refused
    h.useSource(countingPCM(1024));
    configure(h.recorder);
    EXPECT_FALSE(h.recorder.prepare());
    EXPECT_EQ(h.reasons(), (Reasons{"Failed to create audio input"}));
    EXPECT_EQ(h.liveSources.load(), 0);
  }
}

TEST(KIVOAudioQueueRecorder, PermissionAnswersRunOnMainAndAStopCancelsAPendingStart) {
  struct LateProvider : kivo::RecordPermissionProvider {
    std::vector<std::function<void(bool)>> answers;
    void requestRecordPermission(std::function<void(bool)> answer) override { answers.push_back(std::move(answer)); }
  };
  RecorderHarness h;
  h.useSource(countingPCM(16 * 1024));
  auto provider = std::make_shared<LateProvider>();
  h.recorder.setRecordPermissionProvider(provider);

  h.recorder.startRecord();
  h.recorder.startRecord();  // one question while the first waits
  ASSERT_EQ(provider->answers.size(), 1u);
  h.recorder.stopRecord();
  std::thread([&] { provider->answers[0](true); }).join();
  h.time.advance(1s);
  EXPECT_FALSE(h.recorder.recording());
  EXPECT_EQ(h.madeSources.load(), 0);
  EXPECT_EQ(h.delegate->rawBytes(), 0u);

  h.recorder.startRecord();
  ASSERT_EQ(provider->answers.size(), 2u);
  provider->answers[1](false);
  EXPECT_TRUE(h.reasons().empty());  // the answer waits for the main queue
  h.time.settle();
  EXPECT_EQ(h.reasons(), (std::vector<std::optional<std::string>>{"User not granted microphone services"}));
  EXPECT_FALSE(h.recorder.recording());
}

TEST(KIVOAudioQueueRecorder, OneOpenSourcePerStart) {
  RecorderHarness h;
  h.useSource(countingPCM(16 * 1024));
  ASSERT_TRUE(h.recorder.prepare());
  h.start();
  EXPECT_EQ(h.liveSources.load(), 1);
  EXPECT_EQ(h.madeSources.load(), 2);
  h.recorder.stopRecord();
  EXPECT_EQ(h.liveSources.load(), 0);
  ASSERT_TRUE(h.recorder.prepare());
  h.recorder.stopRecord();  // a source prepared but never started is closed too
  EXPECT_EQ(h.liveSources.load(), 0);
}

TEST(KIVOAudioQueueRecorder, RaisingTheBlockSizeWhileRecordingNeitherOverflowsNorDrops) {
  RecorderHarness h;
  const Bytes pcm = countingPCM(200 * 1024);
  h.useSource(pcm);
  h.start();
  h.feed(10);
  h.recorder.setRequiredBufferSize(160000);
  EXPECT_EQ(h.recorder.requiredBufferSize(), 160000u);
  h.feed(90);
  {
    std::lock_guard lock(h.delegate->mutex);
    ASSERT_EQ(h.delegate->blocks.size(), 1u);
    EXPECT_EQ(h.delegate->blocks[0].size(), 155648u);  // the old arrays hold 156,000 bytes: 76 buffers
    EXPECT_EQ(joined(h.delegate->blocks), prefix(pcm, 155648));
  }
  h.recorder.stopRecord();
  h.delegate->blocks.clear();
  h.start();
  h.feed(80);
  std::lock_guard lock(h.delegate->mutex);
  ASSERT_EQ(h.delegate->blocks.size(), 1u);
  EXPECT_EQ(h.delegate->blocks[0].size(), 161792u);  // 79 buffers: the first block of at least 160,000
}

TEST(KIVOAudioQueueRecorder, RefusesBlockSizesOutsideOneByteToSixtySeconds) {
  RecorderHarness h;
  kivo::test::LogCapture logs;
  h.recorder.setRequiredBufferSize(0);
  h.recorder.setRequiredBufferSize(1920002);
  EXPECT_EQ(h.recorder.requiredBufferSize(), 104000u);
  EXPECT_EQ(logs.lines().size(), 2u);
}

TEST(KIVOAudioQueueRecorder, InterruptionsPauseAndRestart) {
  RecorderHarness h;
  h.useSource(countingPCM(64 * 1024));
  kivo::test::LogCapture logs;
  h.recorder.restart();
  EXPECT_TRUE(logs.contains("INFO: KIVO working currently. There's no need to restart. Don't mind ;-)"));
  h.recorder.interruptNotification(1);  // not started: no registration yet
  EXPECT_TRUE(h.reports().empty());

  h.start();
  h.feed(2);
  h.recorder.interruptNotification(std::nullopt);
  h.recorder.interruptNotification(1);
  EXPECT_TRUE(h.recorder.interrupting());
  EXPECT_FALSE(h.recorder.recording());
  EXPECT_EQ(h.liveSources.load(), 0);
  h.recorder.interruptNotification(0);  // the stop ended the registration
  EXPECT_TRUE(h.recorder.interrupting());
  h.recorder.restart();
  h.time.settle();
  EXPECT_TRUE(h.recorder.recording());
  EXPECT_FALSE(h.recorder.interrupting());
  ASSERT_EQ(h.reports().size(), 1u);
  EXPECT_EQ(h.reports()[0], (std::pair<int64_t, std::optional<std::string>>{100, std::nullopt}));

  h.recorder.interruptNotification(0);
  EXPECT_EQ(h.reports().back().first, 101);

  h.recorder.pauseRecord();
  EXPECT_TRUE(kivo::g_KIVOAudioQueueRecorderPause.load());
  EXPECT_TRUE(h.recorder.recording());
  EXPECT_FALSE(h.recorder.isRunning());
}

// Buffers that arrive while interrupting are neither delivered nor handed back to the queue.
TEST(KIVOAudioQueueRecorder, BuffersWhileInterruptingAreSkipped) {
  RecorderHarness h;
  h.useSource(countingPCM(64 * 1024));
  h.start();
  h.feed(2);
  h.recorder.setInterrupting(true);
  h.time.advance(64ms * 4);
  ASSERT_TRUE(pumpUntil([&] { return h.recorder.callbackCount() == 4; }));  // both buffers are out of the queue
  h.recorder.setInterrupting(false);
  h.time.advance(64ms * 4);
  EXPECT_EQ(h.delegate->rawBytes(), 2u * 2048);
  EXPECT_TRUE(h.recorder.isRunning());
}

TEST(KIVOAudioQueueRecorder, CallbackIntervalRunsOnTheMonotonicClockFromEachStart) {
  RecorderHarness h;
  h.useSource(Bytes{});  // a silent device
  EXPECT_EQ(h.recorder.lastCallbackInterval(), 0.0);
  h.start();
  EXPECT_EQ(h.recorder.lastCallbackInterval(), 0.0);
  h.time.advance(2s);
  EXPECT_DOUBLE_EQ(h.recorder.lastCallbackInterval(), 2.0);
  h.time.clock().setWallTime(h.time.clock().now() - 1h);  // the calendar clock steps back
  EXPECT_DOUBLE_EQ(h.recorder.lastCallbackInterval(), 2.0);
  h.recorder.stopRecord();
  EXPECT_EQ(h.recorder.lastCallbackInterval(), 0.0);
  h.time.advance(10s);
  h.start();  // an earlier run does not count
  EXPECT_EQ(h.recorder.lastCallbackInterval(), 0.0);
}

TEST(KIVOAudioQueueRecorder, QueueBuffersAndFlags) {
  RecorderHarness h;
  EXPECT_NE(h.recorder.getBufferRefAtIndex(1), nullptr);
  EXPECT_EQ(h.recorder.getBufferRefAtIndex(2), nullptr);
  h.recorder.enqueueReadyForBufferIndex(1);
  EXPECT_TRUE(h.recorder.isReadyToEnqueueForBufferIndex(1));
  EXPECT_FALSE(h.recorder.isReadyToEnqueueForBufferIndex(2));
  h.recorder.clearEnqueueReady();
  EXPECT_FALSE(h.recorder.isReadyToEnqueueForBufferIndex(1));
  EXPECT_EQ(h.recorder.recordedFilePath().filename(), "record.wav");
}

// A converter on the block path turns a 32 kHz device into 16 kHz blocks.
TEST(KIVOAudioQueueRecorder, ConverterOnTheBlockPath) {
  RecorderHarness h;
  Bytes tone(64 * 2048);
  for (size_t i = 0; i < tone.size() / 2; ++i) {
    const auto s = int16_t(8000 * std::sin(double(i) * 0.05));
    tone[2 * i] = uint8_t(s);
    tone[2 * i + 1] = uint8_t(uint16_t(s) >> 8);
  }
  h.useSource(tone);
  h.recorder.setRequiredBufferSize(16000);
  h.recorder.setAudioConverter(std::make_shared<kivo::KIVOAudioConverter>(32000, 16000, 2, 4000));
  h.start();
  h.feed(64);
  std::lock_guard lock(h.delegate->mutex);
  ASSERT_GE(h.delegate->blocks.size(), 3u);  // 64 buffers of 32 kHz: 2 s of audio at 16 kHz
  for (const auto& block : h.delegate->blocks) EXPECT_GE(block.size(), 16000u);
}

}  // namespace
