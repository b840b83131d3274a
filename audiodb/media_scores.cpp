// Each named media's best alignment of every phase at every offset (pruned against the best so
// far), and the spread of phase 0's scores at sampled offsets, scored whole.
#include "kivo/media_scores.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>


#include "audiodb/matcher_internal.h"
#include "audiodb/weighted_score.h"
#include "kivo/bit_score.h"
#include "platform/assert.h"

namespace kivo {
namespace {

// Where the block starts for an alignment of phase p at word offset o, in ms.
uint64_t position_ms(uint64_t offset, uint32_t shift) {
  const uint64_t sample = offset / 2 * 1000;
  return sample > shift ? (sample - shift) / 16 : 0;
}

}  // namespace

int64_t verification_score(const uint64_t* query, const uint64_t* reference, int n) {
  KIVO_ASSERT("media_scores", n >= 0 && n % 2 == 0);
  return weighted::available().front()(query, reference, n, INT64_MAX);
}

MediaScores score_media(AudioDB* db, const std::vector<BlockPhase>& phases, const std::vector<std::string>& names,
                        int sample_steps) {
  KIVO_ASSERT("media_scores", db != NULL && !phases.empty() && sample_steps >= 1);
  for (const BlockPhase& p : phases)
    KIVO_ASSERT("media_scores", p.words != NULL && p.length >= 2 && p.length % 2 == 0 && p.shift < 1000);
  const weighted::Fn score_of = weighted::available().front();
  MediaScores out;
  std::unordered_map<std::string, size_t> index;  // name -> out.media slot, once scored
  std::vector<std::pair<uint64_t, int64_t>> sampled;  // (step, score) of phase 0 in the current entry
  std::vector<int64_t> best(phases.size());
  std::vector<uint64_t> at(phases.size());
  double sum = 0, squares = 0;
  const uint64_t stride = 2 * uint64_t(sample_steps);
  const int length0 = phases[0].length;

  AudioReader reader;
  adb_reader_start(&reader, db);
  while (const AudioEntry* entry = adb_reader_next(&reader)) {
    if (entry->mask > KIVO_MATCHER_MAX_MASK || entry->name.str == NULL || entry->buffer == NULL) continue;
    if (std::find(names.begin(), names.end(), entry->name.str) == names.end()) continue;
    const uint64_t words = entry->size / 8;
    const uint64_t* reference = reinterpret_cast<const uint64_t*>(entry->buffer);

    // Every phase at every offset, each offset's reference words read while in cache.
    std::fill(best.begin(), best.end(), INT64_MAX);
    sampled.clear();
    for (uint64_t offset = 0; offset + 2 <= words; offset += 2) {
      for (size_t p = 0; p < phases.size(); ++p) {
        const BlockPhase& phase = phases[p];
        if (offset + uint64_t(phase.length) > words) continue;
        const bool sample = p == 0 && offset % stride == 0;
        const int64_t score = score_of(phase.words, reference + offset, phase.length, sample ? INT64_MAX : best[p]);
        if (sample) sampled.emplace_back(offset / 2, score);
        if (score < best[p]) best[p] = score, at[p] = offset;
      }
    }
    // The best phase, per step (phases differ in length by a step or so).
    size_t top = phases.size();
    double top_score = 0;
    for (size_t p = 0; p < phases.size(); ++p) {
      if (best[p] == INT64_MAX) continue;
      const double per_step = double(best[p]) / double(phases[p].length / 2);
      if (top == phases.size() || per_step < top_score) top = p, top_score = per_step;
    }
    if (top == phases.size()) continue;

    const double steps0 = double(length0 / 2);
    for (const auto& [step, score] : sampled) {
      sum += double(score) / steps0;
      squares += double(score) / steps0 * (double(score) / steps0);
    }
    out.samples += sampled.size();
    const uint64_t top_step = at[0] / 2;
    double far = -1;
    if (best[0] != INT64_MAX) {
      for (const auto& [step, score] : sampled) {
        const uint64_t apart = step > top_step ? step - top_step : top_step - step;
        if (apart >= kFarSteps && (far < 0 || double(score) / steps0 < far)) far = double(score) / steps0;
      }
    }
    const BlockPhase& phase = phases[top];
    const uint64_t raw = block_score(phase.words, reference + at[top], phase.length);
    MediaScore m{entry->name.str, top_score, position_ms(at[top], phase.shift), top, far,
                 double(raw / uint64_t(phase.length / 2)) * 0x1p-24};
    auto [slot, fresh] = index.try_emplace(entry->name.str, out.media.size());
    if (fresh) out.media.push_back(std::move(m));
    else if (m.score < out.media[slot->second].score) out.media[slot->second] = std::move(m);
  }
  adb_reader_end(&reader);

  std::stable_sort(out.media.begin(), out.media.end(),
                   [](const MediaScore& a, const MediaScore& b) { return a.score < b.score; });
  if (out.samples > 0) {
    const double n = double(out.samples);
    out.mean = sum / n;
    out.deviation = std::sqrt(std::max(0.0, squares / n - out.mean * out.mean));
  }
  return out;
}

MediaScores merged_media_scores(const MediaScores& a, const MediaScores& b) {
  MediaScores out;
  out.media = a.media;
  out.media.insert(out.media.end(), b.media.begin(), b.media.end());
  std::stable_sort(out.media.begin(), out.media.end(),
                   [](const MediaScore& x, const MediaScore& y) { return x.score < y.score; });
  out.samples = a.samples + b.samples;
  if (out.samples > 0) {
    const double na = double(a.samples), nb = double(b.samples), n = double(out.samples);
    out.mean = (na * a.mean + nb * b.mean) / n;
    const double squares = na * (a.deviation * a.deviation + a.mean * a.mean) +
                           nb * (b.deviation * b.deviation + b.mean * b.mean);
    out.deviation = std::sqrt(std::max(0.0, squares / n - out.mean * out.mean));
  }
  return out;
}

std::vector<std::string> best_quick_media(AudioDB* db, const uint64_t* query, int length,
                                          const std::vector<std::string>& exclude, size_t count) {
  KIVO_ASSERT("media_scores", db != NULL && query != NULL && length >= 1);
  std::vector<std::pair<int64_t, std::string>> found;  // best score per name
  const scan::Kernel* kernel = scan::best_kernel();
  Candidates best;
  init_candidates(&best, 1);
  AudioReader reader;
  adb_reader_start(&reader, db);
  while (const AudioEntry* entry = adb_reader_next(&reader)) {
    if (entry->mask > KIVO_MATCHER_MAX_MASK || entry->name.str == NULL || entry->buffer == NULL) continue;
    if (std::find(exclude.begin(), exclude.end(), entry->name.str) != exclude.end()) continue;
    free_candidates(&best);
    init_candidates(&best, 1);
    uint64_t compared = 0;
    scan::scan_entry_quick_on(kernel, query, length, entry, &best, 1, &compared);
    if (best.count == 0) continue;
    const int64_t score = best.items[0].score;
    auto same = std::find_if(found.begin(), found.end(), [&](const auto& f) { return f.second == entry->name.str; });
    if (same == found.end()) found.emplace_back(score, entry->name.str);
    else same->first = std::min(same->first, score);
  }
  adb_reader_end(&reader);
  free_candidates(&best);
  std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> names;
  for (size_t i = 0; i < found.size() && i < count; ++i) names.push_back(std::move(found[i].second));
  return names;
}

}  // namespace kivo
