#include <gtest/gtest.h>

#include <cerrno>

#include "common/log_capture.h"
#include "kivo/audio_queue_recorder.h"

namespace {

TEST(KIVOAudioQueueRecorderStatus, FourCharactersAndSymbols) {
  EXPECT_EQ(kivo::KIVOAudioQueueRecorderStatToString(0x666D743F), "fmt?");
  EXPECT_EQ(kivo::KIVOAudioQueueRecorderStatToString(-66680), "....");
  kivo::test::LogCapture logs;
  kivo::KIVOAudioQueueRecorderLogWithOSStatus("AudioQueueStart", -66681);
  kivo::KIVOAudioQueueRecorderLogWithOSStatus("AudioQueueStart", -5);
  EXPECT_EQ(logs.lines(), (std::vector<std::string>{
                              "[KIVOAudioQueueRecorder] OSStatus with Symbol: kAudioQueueErr_CannotStart",
                              "[KIVOAudioQueueRecorder] OSStatus with Symbol: [KIVOAudioQueueRecorder] This is unknown "
                              "error from Apple Core Audio Documentation",
                          }));
}

TEST(KIVOAudioQueueRecorderStatus, CaptureErrorsMapOntoTheTable) {
  struct Case {
    int error;
    int32_t status;
  };
  for (const Case& c : {Case{-ENOENT, -66680}, Case{-ENODEV, -66680}, Case{-EBUSY, -66681}, Case{-EACCES, -66676},
                        Case{-EINVAL, -66682}, Case{-EPIPE, -66668}, Case{-ESTRPIPE, -66671}, Case{-EBADFD, -66678},
                        Case{-EIO, -EIO}})
    EXPECT_EQ(kivo::KIVOAudioQueueStatusFromCaptureError(c.error), c.status) << c.error;
}

}  // namespace
