// KIVOMatcher: matching a query AFP, two windows of PCM, and agreeing on their results.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "kivo/afp_generator.h"
#include "kivo/dispatch.h"
#include "kivo/format.h"
#include "facade/matcher_state.h"
#include "kivo/kivo_matcher.h"
#include "kivo/log.h"
#include "kivo/matcher.h"
#include "kivo/media_scores.h"

namespace kivo {
namespace {

// A step is 62.5 ms; positions are whole milliseconds, so neighbours differ by 62 or 63.
constexpr double kStepToleranceMs = 63.0;
// The block's spread is sampled every 8 steps (0.5 s) of the scored media.
constexpr int kSampleSteps = 8;
// Media the verification scores at least, where the database holds them.
constexpr size_t kMinMedia = 4;
// The block is also fingerprinted from half a step in, so that references line up within a
// quarter step with one of the two.
constexpr uint32_t kPhaseShift = 500;

std::string describe(const KIVOMatcher::Results& results) {
  std::string text = "(";
  for (size_t i = 0; i < results.size(); ++i) text += (i ? ", " : "") + results[i].description();
  return text + ")";
}

// The query as aligned 64-bit words (a copy only when the bytes are not aligned).
class QueryWords {
 public:
  explicit QueryWords(const Bytes& afp) : count_(afp.size() / 8) {
    if (reinterpret_cast<uintptr_t>(afp.data()) % alignof(uint64_t) == 0) {
      words_ = reinterpret_cast<const uint64_t*>(afp.data());
    } else {
      copy_.resize(count_);
      std::memcpy(copy_.data(), afp.data(), count_ * 8);
      words_ = copy_.data();
    }
  }
  const uint64_t* data() const { return words_; }
  size_t count() const { return count_; }

 private:
  size_t count_;
  const uint64_t* words_ = nullptr;
  std::vector<uint64_t> copy_;
};

// A description of media that may be reported (not "pg").
bool validDescription(const nlohmann::json& value) {
  const auto type = value.find("type");
  return !(type != value.end() && type->is_string() &&
           KIVOMatchResultTypeFromString(type->get<std::string>()) == KIVOMatchResultTypePG);
}

}  // namespace

std::optional<KIVOMatcher::Results> KIVOMatcher::matchAFP(const std::optional<Bytes>& afp) const {
  if (state_->underWriting) {
    logLine("[WARN] cannot match when writing mode. use finishAdd before");
    return std::nullopt;
  }
  if (!afp) {
    logLine("[WARN] cannot add nil AFP");
    return std::nullopt;
  }
  const QueryWords query(*afp);
  // An empty query would score 0 ("perfect") everywhere; one beyond int range is not an AFP.
  if (query.count() == 0 || query.count() > size_t(std::numeric_limits<int>::max())) return Results{};
  return search(query.data(), int(query.count()), nullptr);
}

KIVOMatcher::Results KIVOMatcher::search(const uint64_t* words, int count, std::vector<std::string>* quickMedia) const {
  const auto maxCount = uint32_t(KIVOMatcherMaxCandidates);
  Candidates quick, candidates;
  init_candidates(&quick, maxCount);
  init_candidates(&candidates, maxCount);
  MatchStats stats{};
  {
    // match()'s steps, keeping the quick stage's media for the block verification.
    AudioReader reader;
    adb_reader_start(&reader, const_cast<AudioDB*>(&state_->audioDB));
    match_quick(&reader, words, count, &quick, maxCount, nullptr, &stats);
    match_full(&reader, words, count, &quick, &candidates, maxCount, &stats);
    if (quickMedia) {
      for (int i = 0; i < quick.count; ++i) {
        const AudioEntry* entry = quick.items[i].entry;
        if (!entry->name.str) continue;
        std::string name = entry->name.str;
        if (std::find(quickMedia->begin(), quickMedia->end(), name) == quickMedia->end())
          quickMedia->push_back(std::move(name));
      }
    }
    free_candidates(&quick);
    own_candidates(&candidates);
    adb_reader_end(&reader);
  }

  Results results;
  const int64_t steps = count / 2;
  const bool filter = state_->useCutoffFilter;
  const double cutoff = state_->cutoff;
  {
    ReaderLock lock(state_->mapsMutex);
    for (int i = 0; i < candidates.count; ++i) {
      const Candidate& c = candidates.items[i];
      if (!c.entry || !c.entry->name.str) continue;
      const std::string name = c.entry->name.str;
      const auto description = state_->media.find(name);
      if (description == state_->media.end() || !validDescription(*description->second)) continue;
      const double score = steps > 0 ? double(c.score / steps) * 0x1p-24 : 0.0;
      if (filter && score < cutoff) continue;
      const auto duration = state_->durationMap.find(name);
      results.emplace_back(name, score, c.position, duration == state_->durationMap.end() ? 0.0 : duration->second,
                           description->second);
    }
    if (quickMedia) {
      std::vector<std::string> valid;
      for (auto& name : *quickMedia) {
        const auto description = state_->media.find(name);
        if (description != state_->media.end() && validDescription(*description->second)) valid.push_back(std::move(name));
      }
      *quickMedia = std::move(valid);
    }
  }
  free_candidates(&candidates);
  return results;
}

std::optional<KIVOMatcher::Results> KIVOMatcher::matchPCM(const Bytes& pcm) const { return matchAFP(AFPFromPCM(pcm)); }

double KIVOMatcher::statisticOf(const Verification& v) {
  if (!(v.spread > 0)) return -std::numeric_limits<double>::infinity();
  // The best of n unrelated alignments stands about sqrt(2 ln n) spreads below the mean.
  const double expected = std::sqrt(2 * std::log(double(std::max<uint64_t>(v.offsets, 2))));
  return (v.runnerUp - v.score) / v.spread + kStandOutWeight * ((v.mean - v.score) / v.spread - expected);
}

double KIVOMatcher::acceptance(const Verification& v) {
  const bool agreed = v.windowsAgree && v.agreedScore <= kAgreementScoreLimit;
  return agreed && v.statistic > 0 ? 2 * v.statistic : v.statistic;
}

std::optional<KIVOMatchResult> KIVOMatcher::answerOf(const Results& first, const Results& second,
                                                     const Verification& verification, double limit,
                                                     double windowDistanceMs) const {
  if (verification.name.empty() || !(acceptance(verification) >= limit)) return std::nullopt;
  // Where the windows agree on the verified media elsewhere than its best block alignment, the
  // passage repeats: both windows found the same place, which is kept.
  if (verification.windowsAgree) {
    if (auto agreed = matchingKeyFromResults(first, second, windowDistanceMs); agreed && agreed->name() == verification.name)
      return agreed;
  }
  // The cutoff drops a verified answer as it drops any result.
  if (state_->useCutoffFilter && verification.searchScore < state_->cutoff) return std::nullopt;
  const double expected = double(verification.position) + windowDistanceMs;
  ReaderLock lock(state_->mapsMutex);
  const auto description = state_->media.find(verification.name);
  if (description == state_->media.end() || !validDescription(*description->second)) return std::nullopt;
  const auto duration = state_->durationMap.find(verification.name);
  return KIVOMatchResult(verification.name, verification.searchScore, uint64_t(std::llround(expected)),
                         duration == state_->durationMap.end() ? 0.0 : duration->second, description->second);
}

bool KIVOMatcher::validMedia(const std::string& name) const {
  ReaderLock lock(state_->mapsMutex);
  const auto description = state_->media.find(name);
  return description != state_->media.end() && validDescription(*description->second);
}

// One block's work: the windows on the global queue, then the verification.
struct KIVOMatcher::BlockJob {
  Bytes pcm;
  size_t secondStart = 0;
  std::optional<Bytes> firstAFP, secondAFP, shiftedAFP, blockAFP;
  std::optional<QueryWords> blockWords, shiftedWords;  // over blockAFP and shiftedAFP
  Results first, second;
  std::vector<std::string> firstMedia, secondMedia;
  Verification verification;

  double distanceMs() const { return double(secondStart / 2) / 16.0; }
  std::vector<std::string> media() const {
    std::vector<std::string> all = firstMedia;
    for (const auto& name : secondMedia)
      if (std::find(all.begin(), all.end(), name) == all.end()) all.push_back(name);
    return all;
  }
  // The block's fingerprint. A fingerprint's step k depends only on the samples before the end of
  // its window, once the filters have settled: the first window's words are the block's first
  // words, and the second window's words from the first window's end on are the block's next ones
  // (its first steps still settle). So when the second window starts on a step no later than the
  // first ends, the two are joined; otherwise the block is fingerprinted.
  std::optional<Bytes> joinedAFP() const {
    constexpr size_t kStepBytes = 2000;  // 1000 samples
    const size_t step = secondStart / kStepBytes;
    if (firstAFP && secondAFP && secondStart % kStepBytes == 0 && firstAFP->size() == secondAFP->size()) {
      const size_t firstSteps = firstAFP->size() / 16;
      if (step >= 1 && step <= firstSteps) {
        Bytes joined = *firstAFP;
        joined.insert(joined.end(), secondAFP->begin() + long((firstSteps - step) * 16), secondAFP->end());
        return joined;
      }
    }
    const size_t bytes = std::min(pcm.size() & ~size_t(1), size_t(std::numeric_limits<int32_t>::max() - 1));
    return AFPFromSample(reinterpret_cast<const int16_t*>(pcm.data()), int32_t(bytes));
  }
};

// The block's verification in three steps: which media and fingerprints to score, the scoring in
// two halves of the media on the global queue, and the statistic of their merged scores.
struct KIVOMatcher::Scoring {
  std::vector<std::string> names[2];  // the media, alternately
  std::vector<BlockPhase> phases;     // point into the job's fingerprints: hold the job too
  MediaScores parts[2];
};

bool KIVOMatcher::planScoring(BlockJob& job, Scoring& scoring) const {
  if (!job.blockWords || job.blockWords->count() < 2 || job.blockWords->count() > size_t(std::numeric_limits<int>::max()))
    return false;
  const QueryWords& query = *job.blockWords;
  const int words = int(query.count() & ~size_t(1));
  std::vector<std::string> media = job.media();
  if (media.empty()) return false;
  // Too few media for a runner-up and a spread: the media of the best quick alignments join them.
  if (media.size() < kMinMedia) {
    AudioDB* db = const_cast<AudioDB*>(&state_->audioDB);
    for (auto& name : best_quick_media(db, query.data(), words, media, kMinMedia)) {
      if (media.size() >= kMinMedia) break;
      if (validMedia(name)) media.push_back(std::move(name));
    }
  }
  for (size_t i = 0; i < media.size(); ++i) scoring.names[i % 2].push_back(std::move(media[i]));
  scoring.phases = {{query.data(), words, 0}};
  if (job.shiftedWords && job.shiftedWords->count() >= 2) {
    const size_t length = std::min(job.shiftedWords->count(), query.count()) & ~size_t(1);
    scoring.phases.push_back({job.shiftedWords->data(), int(length), kPhaseShift});
  }
  return true;
}

void KIVOMatcher::scoreHalf(Scoring& scoring, int half) const {
  if (scoring.names[half].empty()) return;
  scoring.parts[half] =
      score_media(const_cast<AudioDB*>(&state_->audioDB), scoring.phases, scoring.names[half], kSampleSteps);
}

KIVOMatcher::Verification KIVOMatcher::verification(const Scoring& scoring, const Results& first, const Results& second,
                                                     double windowDistanceMs) const {
  Verification v;
  const MediaScores scores = merged_media_scores(scoring.parts[0], scoring.parts[1]);
  v.media = scores.media.size();
  if (scores.media.empty()) return v;
  const MediaScore& best = scores.media.front();
  v.name = best.name;
  v.position = best.position;
  v.score = best.score;
  v.searchScore = best.searchScore;
  v.spread = scores.deviation;
  v.mean = scores.mean;
  v.offsets = scores.samples * kSampleSteps * scoring.phases.size();
  const double runnerUp = scores.media.size() > 1 ? scores.media[1].score : best.far;
  if (runnerUp < 0) return v;
  v.runnerUp = runnerUp;
  if (!(v.spread > 0)) return v;
  const auto agreed = matchingKeyFromResults(first, second, windowDistanceMs);
  v.windowsAgree = agreed && agreed->name() == v.name;
  if (v.windowsAgree) v.agreedScore = agreed->score();
  v.statistic = statisticOf(v);
  return v;
}

void KIVOMatcher::verify(const std::shared_ptr<BlockJob>& job, dispatch::Task done) const {
  if (job->blockAFP) job->blockWords.emplace(*job->blockAFP);
  if (job->shiftedAFP) job->shiftedWords.emplace(*job->shiftedAFP);
  auto scoring = std::make_shared<Scoring>();
  if (!planScoring(*job, *scoring)) {
    done();
    return;
  }
  auto self = shared_from_this();
  dispatch::Group group;
  for (int half = 0; half < 2; ++half)
    group.async(dispatch::Queue::global(), [self, job, scoring, half] { self->scoreHalf(*scoring, half); });
  group.notify(dispatch::Queue::global(), [self, job, scoring, done] {
    job->verification = self->verification(*scoring, job->first, job->second, job->distanceMs());
    done();
  });
}

// Starts both windows in group; false (nothing started) when pcm is shorter than a window.
bool KIVOMatcher::startBlock(const std::shared_ptr<BlockJob>& job, const dispatch::Group& group) const {
  const size_t window = size_t(KIVOMatcherBytesSingleChunk);
  if (job->pcm.size() < window) {
    logLine(format("[WARN] cannot match %lu bytes of PCM: one window is %d bytes", job->pcm.size(),
                   KIVOMatcherBytesSingleChunk));
    return false;
  }
  job->secondStart = (job->pcm.size() - window) & ~size_t(1);  // keep the samples aligned
  auto self = shared_from_this();
  auto run = [self, job, window](size_t start, std::optional<Bytes>& afp, Results& out,
                                 std::vector<std::string>& media) {
    afp = AFPFromSample(reinterpret_cast<const int16_t*>(job->pcm.data() + start), int32_t(window));
    if (!afp) return;
    if (self->state_->underWriting) {
      self->matchAFP(afp);  // logs the refusal
      return;
    }
    const QueryWords query(*afp);
    if (query.count() > 0) out = self->search(query.data(), int(query.count()), &media);
  };
  group.async(dispatch::Queue::global(), [run, job] { run(0, job->firstAFP, job->first, job->firstMedia); });
  group.async(dispatch::Queue::global(), [job] {
    const size_t skip = 2 * size_t(kPhaseShift);
    const size_t bytes = std::min((job->pcm.size() - skip) & ~size_t(1), size_t(std::numeric_limits<int32_t>::max() - 1));
    job->shiftedAFP = AFPFromSample(reinterpret_cast<const int16_t*>(job->pcm.data() + skip), int32_t(bytes));
  });
  group.async(dispatch::Queue::global(),
              [run, job] { run(job->secondStart, job->secondAFP, job->second, job->secondMedia); });
  return true;
}

void KIVOMatcher::matchDoublePCM(Bytes pcm, MatchedHandler matched) {
  auto job = std::make_shared<BlockJob>();
  job->pcm = std::move(pcm);
  dispatch::Group group;
  if (!startBlock(job, group)) {
    if (matched) dispatch::Queue::main().async([matched] { matched(std::nullopt); });
    return;
  }
  auto self = shared_from_this();
  group.notify(dispatch::Queue::global(), [self, job, matched] {
    job->blockAFP = job->joinedAFP();
    self->verify(job, [self, job, matched] {
      dispatch::Queue::main().async([self, job, matched] {
        self->state_->debug([&] { return format("first matched: %@", describe(job->first)); });
        self->state_->debug([&] { return format("second matched: %@", describe(job->second)); });
        self->state_->debug([&] {
          const Verification& v = job->verification;
          return format(
              "verified: %@ at %llu ms, score %.2f, runner-up %.2f, mean %.2f, spread %.2f, statistic %.2f, "
              "acceptance %.2f",
              v.name.empty() ? std::string("none") : v.name, (unsigned long long)v.position, v.score, v.runnerUp,
              v.mean, v.spread, v.statistic, acceptance(v));
        });
        if (matched)
          matched(self->answerOf(job->first, job->second, job->verification, self->state_->acceptanceLimit,
                                 job->distanceMs()));
      });
    });
  });
}

KIVOMatcher::BlockMatch KIVOMatcher::matchBlock(const Bytes& pcm) const {
  auto job = std::make_shared<BlockJob>();
  job->pcm = pcm;
  BlockMatch out;
  dispatch::Group group;
  if (!startBlock(job, group)) return out;
  group.wait();
  job->blockAFP = job->joinedAFP();
  dispatch::Group verified;
  verified.enter();
  verify(job, [verified] { verified.leave(); });
  verified.wait();
  out.verification = job->verification;
  out.answer = answerOf(job->first, job->second, out.verification, state_->acceptanceLimit, job->distanceMs());
  out.first = std::move(job->first);
  out.second = std::move(job->second);
  return out;
}

std::optional<KIVOMatchResult> KIVOMatcher::matchingKeyFromResults(const Results& first, const Results& second,
                                                                   double windowDistanceMs) const {
  for (const auto& a : first) {
    if (a.type() == KIVOMatchResultTypePG || a.name().empty()) continue;
    const double expected = double(a.position()) + windowDistanceMs;
    for (const auto& b : second) {
      if (b.type() == KIVOMatchResultTypePG || b.name() != a.name()) continue;
      // The same media found by chance sits elsewhere; the same passage sits where a predicts.
      if (std::abs(double(b.position()) - expected) > kStepToleranceMs) continue;
      return b;
    }
  }
  return std::nullopt;
}

}  // namespace kivo
