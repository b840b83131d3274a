// Recognition runs on the virtual clock: the scripted console of ManagerTest with activity and
// query endpoints, a recorder of the test's own over a clock-paced file source playing a
// distorted recording, and a reference pack of synthetic music loaded as the barrier pack.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/file_capture_source.h"
#include "console_fixture.h"
#include "kivo/audio_queue_recorder.h"
#include "kivo/audio_recorder.h"
#include "kivo/log_store.h"

namespace kivo::test {

// Seconds of the synthetic piece "m<seed>" (16 kHz PCM), the same bytes on every call.
Bytes piece(uint32_t seed, double seconds = 40.0);
// seconds of pcm from `from`, at half volume with white noise 20 dB below the music.
Bytes distortedExcerpt(const Bytes& pcm, double from, double seconds, uint32_t noiseSeed = 7);

// Answers the record-permission question when the test says so.
class HeldPermission final : public RecordPermissionProvider {
 public:
  void requestRecordPermission(std::function<void(bool)> answer) override;
  void answer(bool granted);  // answers every question asked so far
  size_t asked();

 private:
  std::mutex mutex_;
  std::vector<std::function<void(bool)>> waiting_;
  size_t asked_ = 0;
};

class RecognitionTest : public ManagerTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Reference pack of pieces 1..3 ("m1".."m3"), the barrier pack; prepares IAR and waits.
  void prepareLocal();
  // Prepares CLOUD (authentication only) and waits.
  void prepareCloud();
  // The recorder plays pcm (then nothing, or a stream failure with endStatus).
  void play(Bytes pcm, std::optional<int> endStatus = std::nullopt);
  void start(int32_t type, bool repeat);
  // Moves virtual time by seconds in capture steps, letting each step's blocks reach the manager.
  void run(double seconds);
  // Pumps until n results arrived (false after 20 s of real time).
  bool waitResults(size_t n);

  std::vector<std::string> resultIDs() const;  // "_id" of each result, "" for errors
  size_t activityCount() const;
  size_t queryCount() const;
  std::vector<std::map<std::string, std::string>> queryForms() const;

  KIVOAudioQueueRecorder queueRecorder;
  std::unique_ptr<KIVOAudioRecorder> recorder;
  std::shared_ptr<KIVOLogStore> store;
  std::atomic<size_t> sourcesMade{0};
  bool awaitRequests = true;  // run() lets each match or query end (off while a gate holds one)

  // Scripted answers: activity(n) for the n-th report; query answers come from queryMatcher unless
  // queryAnswer is set.
  std::function<ConsoleAnswer(size_t)> activity = [](size_t) {
    return ConsoleAnswer{200, R"({"campaign":{"title":"spring"}})"};
  };
  std::function<ConsoleAnswer(size_t)> queryAnswer;
  Gate activityGate, queryGate;
  std::shared_ptr<KIVOMatcher> queryMatcher;

  std::vector<std::pair<std::optional<nlohmann::json>, std::optional<Error>>> results;

 private:
  Bytes pcm_;
  std::atomic<uint64_t> written_{0};  // bytes every source wrote
  std::atomic<uint64_t> writtenBase_{0}, callbacksBase_{0};  // at the newest source's creation
  std::optional<int> endStatus_;
  std::vector<std::map<std::string, std::string>> queryForms_;
  size_t activities_ = 0;
};

}  // namespace kivo::test
