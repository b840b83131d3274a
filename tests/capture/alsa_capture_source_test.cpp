#include "capture/alsa_capture_source.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "kivo/audio_queue_recorder.h"
#include "kivo/format.h"
#include "recorder_fixture.h"

namespace {

using kivo::Bytes;
using kivo::test::pumpUntil;

// A known recording in an anonymous memory file, replayed by ALSA's file plugin over a null
// device: the whole ALSA path runs with no sound card and no configuration file.
class MemoryRecording {
 public:
  explicit MemoryRecording(const Bytes& pcm) : fd_(memfd_create("kivo-recording", MFD_CLOEXEC)) {
    EXPECT_GE(fd_, 0);
    EXPECT_EQ(::write(fd_, pcm.data(), pcm.size()), ssize_t(pcm.size()));
  }
  ~MemoryRecording() { ::close(fd_); }
  std::string config() const {
    return kivo::format(
        "pcm.recording { type file slave.pcm { type null } file \"/dev/null\" infile \"/proc/self/fd/%d\" "
        "format raw }",
        fd_);
  }

 private:
  int fd_;
};

TEST(AlsaCaptureSource, RecorderCapturesAKnownRecordingByteForByte) {
  const Bytes pcm = kivo::test::countingPCM(24 * 1024);
  MemoryRecording recording(pcm);
  kivo::KIVOAudioQueueRecorder recorder;
  auto delegate = std::make_shared<kivo::test::RecordingDelegate>();
  recorder.setDelegate(delegate);
  recorder.setRequiredBufferSize(4 * 2048);
  recorder.setDeviceName("recording");
  recorder.setCaptureSourceFactory([config = recording.config()](const std::string& device) {
    return std::make_unique<kivo::capture::AlsaCaptureSource>(device, config);
  });
  std::vector<std::optional<std::string>> reasons;
  recorder.setErrorReporter([&](int64_t, std::optional<std::string> reason) { reasons.push_back(reason); });
  recorder.startRecord();
  // The file plugin is not paced: it delivers as fast as it is read, and past the end of the input
  // it leaves the buffer as it was, so only the first pcm.size() bytes are compared.
  ASSERT_TRUE(pumpUntil([&] { return delegate->blockCount() >= 6; })) << reasons.size();
  EXPECT_TRUE(recorder.isRunning());
  recorder.stopRecord();
  EXPECT_TRUE(reasons.empty());
  std::lock_guard lock(delegate->mutex);
  Bytes blocks;
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(delegate->blocks[i].size(), 8192u);
    blocks.insert(blocks.end(), delegate->blocks[i].begin(), delegate->blocks[i].end());
  }
  EXPECT_EQ(blocks, pcm);
}

TEST(AlsaCaptureSource, MissingDeviceFailsAtOpen) {
  kivo::capture::AlsaCaptureSource source("recording", "pcm.other { type null }");
  EXPECT_LT(source.open(), 0);
  kivo::capture::AlsaCaptureSource broken("recording", "pcm.recording { type");
  EXPECT_LT(broken.open(), 0);
}

}  // namespace
