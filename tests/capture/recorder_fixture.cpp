#include "recorder_fixture.h"

#include <gtest/gtest.h>

#include <thread>

#include "kivo/dispatch.h"

namespace kivo::test {

Bytes countingPCM(size_t samples) {
  Bytes pcm(samples * 2);
  for (size_t i = 0; i < samples; ++i) {
    pcm[2 * i] = uint8_t(i);
    pcm[2 * i + 1] = uint8_t(i >> 8);
  }
  return pcm;
}

bool pumpUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (dispatch::MainQueue::pump() == 0) std::this_thread::yield();
  }
  return true;
}

void RecordingDelegate::recorderBuffer(KIVOAudioQueueRecorder&, const uint8_t* buffer, uint64_t size) {
  std::lock_guard lock(mutex);
  blocks.emplace_back(buffer, buffer + size);
}

void RecordingDelegate::recorderIncomingSampleBuffer(KIVOAudioQueueRecorder&, const uint8_t* buffer, uint64_t size) {
  {
    std::lock_guard lock(mutex);
    raw.insert(raw.end(), buffer, buffer + size);
    rawSizes.push_back(size);
  }
  if (onRaw) onRaw();
}

size_t RecordingDelegate::rawBytes() {
  std::lock_guard lock(mutex);
  return raw.size();
}

size_t RecordingDelegate::blockCount() {
  std::lock_guard lock(mutex);
  return blocks.size();
}

namespace {

// The file source, counting live instances and failing where told to.
class CountedSource final : public capture::FileCaptureSource {
 public:
  CountedSource(Bytes pcm, capture::FileCaptureOptions options, RecorderHarness& harness)
      : FileCaptureSource(std::move(pcm), options), harness_(harness) {
    ++harness_.liveSources;
    ++harness_.madeSources;
  }
  ~CountedSource() override { --harness_.liveSources; }
  int open() override { return harness_.openStatus.value_or(0); }
  int start(CaptureSink& sink) override {
    if (harness_.startStatus) return *harness_.startStatus;
    return FileCaptureSource::start(sink);
  }

 private:
  RecorderHarness& harness_;
};

}  // namespace

RecorderHarness::RecorderHarness() {
  recorder.setDelegate(delegate);
  recorder.setErrorReporter([this](int64_t code, std::optional<std::string> reason) {
    std::lock_guard lock(mutex_);
    reports_.emplace_back(code, std::move(reason));
  });
  recorder.setCaptureSourceFactory([this](const std::string&) -> std::unique_ptr<CaptureSource> {
    return std::make_unique<CountedSource>(pcm_, options_, *this);
  });
}

RecorderHarness::~RecorderHarness() {
  recorder.stopRecord();
  time.settle();
}

void RecorderHarness::useSource(Bytes pcm, capture::FileCaptureOptions options) {
  pcm_ = std::move(pcm);
  options_ = options;
}

void RecorderHarness::start() {
  recorder.startRecord();
  time.settle();
}

void RecorderHarness::feed(size_t chunks) {
  constexpr size_t kStep = 8;  // well inside the ring between the source and the capture thread
  for (size_t done = 0; done < chunks;) {
    const size_t n = std::min(kStep, chunks - done);
    const uint64_t before = recorder.packetCount();  // counted once a buffer is fully handled
    const uint64_t frames = n * options_.chunkBytes / 2;
    time.advance(options_.period * n);
    done += n;
    ASSERT_TRUE(pumpUntil([&] { return recorder.packetCount() >= before + frames; }))
        << "capture thread took " << recorder.packetCount() - before << " of " << frames << " frames";
  }
}

std::vector<std::pair<int64_t, std::optional<std::string>>> RecorderHarness::reports() {
  std::lock_guard lock(mutex_);
  return reports_;
}

std::vector<std::optional<std::string>> RecorderHarness::reasons() {
  std::vector<std::optional<std::string>> out;
  for (auto& [code, reason] : reports()) out.push_back(reason);
  return out;
}

}  // namespace kivo::test
