// A recorder over a clock-paced file source under virtual time, with a delegate that keeps every
// block and raw buffer, and an error reporter that keeps every report.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capture/file_capture_source.h"
#include "common/virtual_time.h"
#include "kivo/audio_queue_recorder.h"

namespace kivo::test {

// n samples counting up from 0 (wrapping at 2^16), as S16LE bytes: any lost or repeated byte run
// shows as a mismatch against the same pattern.
Bytes countingPCM(size_t samples);

// Pumps the main queue until done() holds; false after 20 s of real time.
bool pumpUntil(const std::function<bool()>& done);

struct RecordingDelegate final : KIVOAudioQueueRecorderDelegate {
  std::mutex mutex;
  std::vector<Bytes> blocks;
  std::vector<size_t> rawSizes;
  Bytes raw;
  std::function<void()> onRaw;  // runs on the capture thread after each raw buffer is kept

  void recorderBuffer(KIVOAudioQueueRecorder&, const uint8_t* buffer, uint64_t size) override;
  bool implementsIncomingSampleBuffer() const override { return true; }
  void recorderIncomingSampleBuffer(KIVOAudioQueueRecorder&, const uint8_t* buffer, uint64_t size) override;
  size_t rawBytes();
  size_t blockCount();
};

class RecorderHarness {
 public:
  RecorderHarness();
  ~RecorderHarness();

  // Every later source replays pcm with these options; sources made and still alive are counted.
  void useSource(Bytes pcm, capture::FileCaptureOptions options = {});
  // The source's open() or start() fails with this status.
  std::optional<int> openStatus, startStatus;

  // startRecord, then lets the permission answer run.
  void start();
  // Advances virtual time by chunks capture periods, a few at a time, waiting for the capture
  // thread to take each step's buffers.
  void feed(size_t chunks);
  std::vector<std::pair<int64_t, std::optional<std::string>>> reports();
  std::vector<std::optional<std::string>> reasons();

  VirtualTime time;
  KIVOAudioQueueRecorder recorder;
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  std::atomic<int> liveSources{0};
  std::atomic<int> madeSources{0};

 private:
  std::mutex mutex_;
  std::vector<std::pair<int64_t, std::optional<std::string>>> reports_;
  Bytes pcm_;
  capture::FileCaptureOptions options_;
};

}  // namespace kivo::test
