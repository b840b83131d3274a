#include "recognition_fixture.h"

#include <cmath>
#include <cstring>
#include <map>

#include "audiopack/audio_pack_dumper.h"
#include "common/signals.h"
#include "kivo/afp_generator.h"
#include "kivo/kivo_matcher.h"

namespace kivo::test {

namespace {

constexpr size_t kRate = 16000;
constexpr double kQueryScoreLimit = 22.0;  // the scripted console's: normalised scores of known music

Bytes toBytes(const std::vector<int16_t>& pcm) {
  Bytes out(pcm.size() * 2);
  std::memcpy(out.data(), pcm.data(), out.size());
  return out;
}

nlohmann::json describe(uint32_t seed) {
  const std::string id = "m" + std::to_string(seed);
  return {{"_id", id}, {"type", "cf"}, {"title", "Piece " + std::to_string(seed)}, {"items", {{{"_id", "i" + id}}}}};
}

// The file source, counting what it writes.
class CountingSource final : public CaptureSource, CaptureSink {
 public:
  CountingSource(Bytes pcm, capture::FileCaptureOptions options, std::atomic<uint64_t>& written,
                 std::function<void()> onStart)
      : inner_(std::move(pcm), options), written_(written), onStart_(std::move(onStart)) {}
  int open() override { return inner_.open(); }
  int start(CaptureSink& sink) override {
    sink_ = &sink;
    onStart_();
    return inner_.start(*this);
  }
  void stop() override { inner_.stop(); }
  bool isStreaming() const override { return inner_.isStreaming(); }
  void write(const uint8_t* data, size_t size) noexcept override {
    sink_->write(data, size);
    written_.fetch_add(size);
  }
  void fail(int status) noexcept override { sink_->fail(status); }

 private:
  capture::FileCaptureSource inner_;
  std::atomic<uint64_t>& written_;
  std::function<void()> onStart_;
  CaptureSink* sink_ = nullptr;
};

}  // namespace

Bytes piece(uint32_t seed, double seconds) {
  static std::mutex mutex;
  static std::map<std::pair<uint32_t, size_t>, Bytes> cache;
  const size_t samples = size_t(seconds * kRate);
  std::lock_guard lock(mutex);
  auto& bytes = cache[{seed, samples}];
  if (bytes.empty()) bytes = toBytes(toPcm(music(samples, seed)));
  return bytes;
}

Bytes distortedExcerpt(const Bytes& pcm, double from, double seconds, uint32_t noiseSeed) {
  const size_t first = size_t(from * kRate), count = size_t(seconds * kRate);
  const auto noise = kivo::test::noise(count, 1.0f, noiseSeed);
  std::vector<float> out(count);
  double power = 0;
  for (size_t i = 0; i < count; ++i) {
    int16_t s;
    std::memcpy(&s, pcm.data() + (first + i) * 2, 2);
    out[i] = 0.5f * float(s) / 32768.0f;
    power += double(out[i]) * out[i];
  }
  // White noise 20 dB below the music's power; uniform noise of amplitude a has power a^2 / 3.
  const float amplitude = float(std::sqrt(3.0 * power / double(count) / 100.0));
  for (size_t i = 0; i < count; ++i) out[i] += amplitude * noise[i];
  return toBytes(toPcm(out));
}

void HeldPermission::requestRecordPermission(std::function<void(bool)> answer) {
  std::lock_guard lock(mutex_);
  ++asked_;
  waiting_.push_back(std::move(answer));
}

void HeldPermission::answer(bool granted) {
  std::vector<std::function<void(bool)>> waiting;
  {
    std::lock_guard lock(mutex_);
    waiting.swap(waiting_);
  }
  for (auto& a : waiting) a(granted);
}

size_t HeldPermission::asked() {
  std::lock_guard lock(mutex_);
  return asked_;
}

void RecognitionTest::SetUp() {
  ManagerTest::SetUp();
  server->on("/api/activity/", [this](const httplib::Request&, httplib::Response& response) {
    activityGate.pass();
    ConsoleAnswer a;
    {
      std::lock_guard lock(mutex);
      a = activity(activities_++);
    }
    response.status = a.status;
    response.set_content(a.body, "application/json");
  });
  server->on("/api/query", [this](const httplib::Request& request, httplib::Response& response) {
    std::map<std::string, std::string> form;
    for (const auto& [name, field] : request.files) form[name] = field.content;
    size_t n;
    {
      std::lock_guard lock(mutex);
      n = queryForms_.size();
      queryForms_.push_back(form);
    }
    queryGate.pass();
    if (queryAnswer) {
      const auto a = queryAnswer(n);
      response.status = a.status;
      response.set_content(a.body, "application/json");
      return;
    }
    nlohmann::json answer = {{"success", 0}};
    const auto& afp = form["afp"];
    if (queryMatcher) {
      const auto found = queryMatcher->matchAFP(Bytes(afp.begin(), afp.end()));
      if (found && !found->empty() && found->front().score() <= kQueryScoreLimit) {
        const auto& best = found->front();
        answer = {{"success", 1}, {"result", best.metadata()}, {"duration", best.duration()}, {"channel", best.name()}};
      }
    }
    response.set_content(answer.dump(), "application/json");
  });
  queueRecorder.setCaptureSourceFactory([this](const std::string&) -> std::unique_ptr<CaptureSource> {
    ++sourcesMade;
    capture::FileCaptureOptions options;
    options.endStatus = endStatus_;
    return std::make_unique<CountingSource>(pcm_, options, written_, [this] {
      writtenBase_ = written_.load();
      callbacksBase_ = queueRecorder.callbackCount();
    });
  });
  queueRecorder.setErrorReporter([](int64_t, std::optional<std::string>) {});
  recorder = std::make_unique<KIVOAudioRecorder>(queueRecorder);
  manager->setAudioRecorder(recorder.get());
  KIVOLogStoreOptions options;
  options.directory = sandbox_->path() / "activity";
  store = KIVOLogStore::create(manager->consoleConfiguration(), options);
  manager->setActivityLogStore(store);
}

void RecognitionTest::TearDown() {
  manager->stop();
  activityGate.open();
  queryGate.open();
  queueRecorder.stopRecord();
  ManagerTest::TearDown();
  recorder.reset();
  store.reset();
}

void RecognitionTest::prepareLocal() {
  const auto path = dataFile("reference.pack");
  auto dumper = KIVOAudioPackDumper::startDumpWithPathURL(path);
  nlohmann::json media = nlohmann::json::object();
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    dumper->addAFP({"m" + std::to_string(seed), 0, *AFPFromPCM(piece(seed))});
    media["m" + std::to_string(seed)] = describe(seed);
  }
  ASSERT_TRUE(dumper->finishWithMetadata({{"media", media}}));
  manager->setBarrierBundlePath(path);
  const size_t requests = authCount() + 1;
  manager->prepareWithType(KIVOManagerDetectTypeIAR);
  waitFor(KIVOPrepareStatusCompleted, requests);
}

void RecognitionTest::prepareCloud() {
  queryMatcher = KIVOMatcher::create();
  queryMatcher->beginAdd();
  nlohmann::json media = nlohmann::json::object();
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    queryMatcher->addAFP(*AFPFromPCM(piece(seed)), "m" + std::to_string(seed));
    media["m" + std::to_string(seed)] = describe(seed);
  }
  queryMatcher->audioPackFinishLoadWithMetaData({{"media", media}});
  queryMatcher->finishAdd();
  const size_t requests = authCount() + 1;
  manager->prepareWithType(KIVOManagerDetectTypeCloud);
  waitFor(KIVOPrepareStatusCompleted, requests);
}

void RecognitionTest::play(Bytes pcm, std::optional<int> endStatus) {
  pcm_ = std::move(pcm);
  endStatus_ = endStatus;
}

void RecognitionTest::start(int32_t type, bool repeat) {
  manager->startWithType(type, repeat, [this](std::optional<nlohmann::json> result, std::optional<Error> error) {
    results.emplace_back(std::move(result), std::move(error));
  });
  time->settle();
}

void RecognitionTest::run(double seconds) {
  constexpr auto kStep = std::chrono::milliseconds(64 * 8);
  const auto steps = size_t(std::ceil(seconds / 0.512));
  for (size_t i = 0; i < steps; ++i) {
    time->advance(kStep);
    // The capture thread takes every buffer written so far; blocks then reach the main queue.
    EXPECT_TRUE(pumpMainUntil([&] {
      // A last partial buffer never fills.
      return (queueRecorder.callbackCount() - callbacksBase_ + 1) * KIVOAudioQueueRecorder::kQueueBufferBytes >
                 written_.load() - writtenBase_ ||
             !queueRecorder.isRunning();
    })) << "callbacks " << queueRecorder.callbackCount() - callbacksBase_ << " written " << written_.load() - writtenBase_
        << " step " << i;
    // Real time passes while virtual time stands: let a match or query end before the next block.
    if (awaitRequests) {
      EXPECT_TRUE(pumpMainUntil([&] { return !manager->matching(); }));
    }
    time->settle();
  }
}

bool RecognitionTest::waitResults(size_t n) {
  return pumpMainUntil([&] {
    time->settle();
    return results.size() >= n;
  });
}

std::vector<std::string> RecognitionTest::resultIDs() const {
  std::vector<std::string> out;
  for (const auto& [result, error] : results) {
    if (!result) {
      out.emplace_back();
    } else if (result->contains("_id")) {
      out.push_back((*result)["_id"].get<std::string>());
    } else if (result->contains("result")) {
      out.push_back((*result)["result"].value("_id", "?"));
    } else {
      out.emplace_back("?");
    }
  }
  return out;
}

size_t RecognitionTest::activityCount() const {
  std::lock_guard lock(mutex);
  return activities_;
}

size_t RecognitionTest::queryCount() const {
  std::lock_guard lock(mutex);
  return queryForms_.size();
}

std::vector<std::map<std::string, std::string>> RecognitionTest::queryForms() const {
  std::lock_guard lock(mutex);
  return queryForms_;
}

}  // namespace kivo::test
