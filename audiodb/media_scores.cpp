// Each named media's best alignment through the full stage's scan (a list of one per entry), and
// the spread of the query's scores at sampled offsets, scored whole without a limit.
#include "kivo/media_scores.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "audiodb/matcher_internal.h"
#include "kivo/bit_score.h"
#include "platform/assert.h"

namespace kivo {
namespace {

// block_score with the processor's population count, where it has one.
#if defined(__x86_64__)
__attribute__((target("popcnt")))
#endif
uint64_t counted_block_score(const uint64_t* query, const uint64_t* reference, int n) {
  uint64_t a = 0, b = 0;
  for (int i = 0; i < n; ++i) {
    a += uint64_t(__builtin_popcountll(query[i] & ~reference[i]));
    b += uint64_t(__builtin_popcountll(reference[i] & ~query[i]));
  }
  return (b << 24) + a * KIVO_SCORE_WEIGHT_A;
}

bool has_popcount() {
#if defined(__x86_64__)
  static const bool has = __builtin_cpu_supports("popcnt");
  return has;
#else
  return false;
#endif
}

}  // namespace

MediaScores score_media(AudioDB* db, const uint64_t* query, int length, const std::vector<std::string>& names,
                        int sample_steps) {
  KIVO_ASSERT("media_scores", db != NULL && query != NULL && length >= 1 && sample_steps >= 1);
  MediaScores out;
  std::unordered_map<std::string, size_t> index;  // name -> out.media slot, once scored
  const scan::Kernel* kernel = scan::best_kernel();
  Candidates best;
  init_candidates(&best, 1);
  std::vector<std::pair<uint64_t, int64_t>> sampled;  // (step, score) of the current entry
  double sum = 0, squares = 0;
  const uint64_t stride = 2 * uint64_t(sample_steps);
  const bool fast = has_popcount();

  AudioReader reader;
  adb_reader_start(&reader, db);
  while (const AudioEntry* entry = adb_reader_next(&reader)) {
    if (entry->mask > KIVO_MATCHER_MAX_MASK || entry->name.str == NULL || entry->buffer == NULL) continue;
    if (std::find(names.begin(), names.end(), entry->name.str) == names.end()) continue;
    const uint64_t words = entry->size / 8;
    if (words < uint64_t(length)) continue;
    const uint64_t* reference = reinterpret_cast<const uint64_t*>(entry->buffer);

    free_candidates(&best);
    init_candidates(&best, 1);
    uint64_t compared = 0;
    scan::scan_entry_full_on(kernel, query, length, entry, &best, 1, &compared);
    if (best.count == 0) continue;
    const Candidate top = best.items[0];

    sampled.clear();
    for (uint64_t offset = 0; offset + uint64_t(length) <= words; offset += stride) {
      const int64_t score = int64_t(fast ? counted_block_score(query, reference + offset, length)
                                         : block_score(query, reference + offset, length));
      sampled.emplace_back(offset / 2, score);
      const double s = double(score);
      sum += s;
      squares += s * s;
    }
    out.samples += sampled.size();
    // The best step: positions are floor(k * 1000 / 16) ms, so k is recovered by rounding up.
    const uint64_t top_step = (top.position * 16 + 999) / 1000;
    int64_t far = -1;
    for (const auto& [step, score] : sampled) {
      const uint64_t apart = step > top_step ? step - top_step : top_step - step;
      if (apart >= kFarSteps && (far < 0 || score < far)) far = score;
    }

    auto [slot, fresh] = index.try_emplace(entry->name.str, out.media.size());
    if (fresh) {
      out.media.push_back({entry->name.str, top.score, top.position, far});
    } else if (top.score < out.media[slot->second].score) {
      out.media[slot->second] = {entry->name.str, top.score, top.position, far};
    }
  }
  adb_reader_end(&reader);
  free_candidates(&best);

  std::stable_sort(out.media.begin(), out.media.end(),
                   [](const MediaScore& a, const MediaScore& b) { return a.score < b.score; });
  if (out.samples > 0) {
    const double n = double(out.samples);
    out.mean = sum / n;
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
