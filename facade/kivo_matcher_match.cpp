// KIVOMatcher: matching a query AFP, two windows of PCM, and agreeing on their results.
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

namespace kivo {
namespace {

// A step is 62.5 ms; positions are whole milliseconds, so neighbours differ by 62 or 63.
constexpr double kStepToleranceMs = 63.0;

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
  Results results;
  // An empty query would score 0 ("perfect") everywhere; one beyond int range is not an AFP.
  if (query.count() == 0 || query.count() > size_t(std::numeric_limits<int>::max())) return results;
  const int words = int(query.count());

  Candidates candidates;
  init_candidates(&candidates, uint32_t(KIVOMatcherMaxCandidates));
  MatchStats stats{};
  match(const_cast<AudioDB*>(&state_->audioDB), query.data(), words, &candidates, uint32_t(KIVOMatcherMaxCandidates),
        &stats);

  const int64_t steps = words / 2;
  const bool filter = state_->useCutoffFilter;
  const double cutoff = state_->cutoff;
  {
    ReaderLock lock(state_->mapsMutex);
    for (int i = 0; i < candidates.count; ++i) {
      const Candidate& c = candidates.items[i];
      if (!c.entry || !c.entry->name.str) continue;
      const std::string name = c.entry->name.str;
      const auto description = state_->media.find(name);
      if (description == state_->media.end()) continue;
      const auto& value = *description->second;
      const auto type = value.find("type");
      if (type != value.end() && type->is_string() &&
          KIVOMatchResultTypeFromString(type->get<std::string>()) == KIVOMatchResultTypePG)
        continue;
      const double score = steps > 0 ? double(c.score / steps) * 0x1p-24 : 0.0;
      if (filter && score < cutoff) continue;
      const auto duration = state_->durationMap.find(name);
      results.emplace_back(name, score, c.position, duration == state_->durationMap.end() ? 0.0 : duration->second,
                           description->second);
    }
  }
  free_candidates(&candidates);
  return results;
}

std::optional<KIVOMatcher::Results> KIVOMatcher::matchPCM(const Bytes& pcm) const { return matchAFP(AFPFromPCM(pcm)); }

void KIVOMatcher::matchDoublePCM(Bytes pcm, MatchedHandler matched) {
  const size_t window = size_t(KIVOMatcherBytesSingleChunk);
  if (pcm.size() < window) {
    logLine(format("[WARN] cannot match %lu bytes of PCM: one window is %d bytes", pcm.size(), KIVOMatcherBytesSingleChunk));
    if (matched) dispatch::Queue::main().async([matched] { matched(std::nullopt); });
    return;
  }
  struct Job {
    Bytes pcm;
    size_t secondStart;
    Results first, second;
  };
  auto job = std::make_shared<Job>();
  job->secondStart = (pcm.size() - window) & ~size_t(1);  // keep the samples aligned
  job->pcm = std::move(pcm);
  auto self = shared_from_this();
  auto run = [self, job, window](size_t start, Results& out) {
    const auto* samples = reinterpret_cast<const int16_t*>(job->pcm.data() + start);
    if (auto afp = AFPFromSample(samples, int32_t(window))) out = self->matchAFP(afp).value_or(Results{});
  };
  dispatch::Group group;
  group.async(dispatch::Queue::global(), [run, job] { run(0, job->first); });
  group.async(dispatch::Queue::global(), [run, job] { run(job->secondStart, job->second); });
  group.notify(dispatch::Queue::main(), [self, job, matched] {
    self->state_->debug([&] { return format("first matched: %@", describe(job->first)); });
    self->state_->debug([&] { return format("second matched: %@", describe(job->second)); });
    const double distanceMs = double(job->secondStart / 2) / 16.0;
    if (matched) matched(self->matchingKeyFromResults(job->first, job->second, distanceMs));
  });
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
      if (b.score() > state_->acceptanceLimit) return std::nullopt;
      return b;
    }
  }
  return std::nullopt;
}

}  // namespace kivo
