#include "search_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "kivo/bit_score.h"

namespace kivo::test {

void TestDB::add(const std::vector<TestEntry>& entries) {
  AudioWriter wrr;
  adb_writer_start(&wrr, &db_);
  std::vector<AudioAddCtx> adds(entries.size());
  for (size_t i = entries.size(); i-- > 0;) {
    const TestEntry& def = entries[i];
    AudioEntry entry;
    adb_entry_init(&entry, def.mask);
    if (def.name) {
      EXPECT_EQ(adb_entry_set_name(&entry, def.name->c_str()), 1);
    }
    std::vector<uint8_t> bytes(def.words.size() * 8 + def.extra_bytes, 0xA5);
    if (!def.words.empty()) std::memcpy(bytes.data(), def.words.data(), def.words.size() * 8);
    EXPECT_EQ(adb_entry_init_buffer(&entry, bytes.data(), bytes.size()), 1);
    EXPECT_EQ(adb_add_preswap(&adds[i], &wrr, &entry), 1);
  }
  adb_writer_swap(&wrr);
  for (size_t i = entries.size(); i-- > 0;) adb_add_postswap(&adds[i]);
  adb_writer_end(&wrr);
}

void TestDB::remove(const std::string& name) {
  const HashedStr wanted = hstr_from_str(name.c_str());
  AudioWriter wrr;
  adb_writer_start(&wrr, &db_);
  AudioEntry* prev = nullptr;
  for (AudioEntry* e = adb_writer_get_head(&wrr); e != nullptr; prev = e, e = adb_writer_get_next(&wrr, e)) {
    if (!hstr_eq(&e->name, &wanted)) continue;
    AudioChangeCtx ctx;
    adb_delete_preswap(&ctx, &wrr, prev);
    adb_writer_swap(&wrr);
    adb_delete_postswap(&ctx);
    break;
  }
  adb_writer_end(&wrr);
}

std::vector<CandidateView> view(const Candidates& list, bool with_entries) {
  std::vector<CandidateView> views;
  for (int i = 0; i < list.count; ++i) {
    const Candidate& c = list.items[i];
    views.push_back(CandidateView{c.score, c.position, c.size,
                                  c.entry->name.str != nullptr ? c.entry->name.str : "(none)", c.entry->mask,
                                  with_entries ? c.entry : nullptr});
  }
  return views;
}

std::vector<uint64_t> thresholds(const Candidates& list) {
  return std::vector<uint64_t>(list.thresholds, list.thresholds + KIVO_MATCHER_CLASSES);
}

std::string describe(const std::vector<CandidateView>& views) {
  std::ostringstream out;
  for (const CandidateView& v : views) {
    out << "{" << v.score << " @" << v.position << "ms " << v.name << "/" << v.mask << " size " << v.size << "} ";
  }
  return out.str();
}

namespace {

uint64_t position_ms(uint64_t offset) { return (offset / 2 * 1000) >> 4; }

// Scores every alignment of entry with the stage's scalar function and offers admitted ones.
void reference_scan(const AudioEntry* entry, const uint64_t* query, int length, bool quick, Candidates* list,
                    uint32_t max_count, MatchStats* stats) {
  const uint64_t words = entry->size / 8;
  if (length < 1 || entry->buffer == nullptr || words < static_cast<uint64_t>(length)) return;
  const uint64_t* reference = reinterpret_cast<const uint64_t*>(entry->buffer);
  for (uint64_t o = 0; o < words - static_cast<uint64_t>(length) + 1; o += 2) {
    const uint64_t threshold = list->thresholds[entry->mask];
    const uint32_t limit = static_cast<uint32_t>(threshold >> 24);
    uint64_t s;
    if (!quick) {
      s = thresholded_block_score(query, reference + o, length, limit, &stats->compared);
    } else if (length < 8) {
      s = block_score(query, reference + o, length);
      stats->compared += static_cast<uint64_t>(length);
    } else {
      s = semi_thresholded_block_score(query, reference + o, 8, limit, &stats->compared);
    }
    if (s < KIVO_REJECTED_SCORE && static_cast<int64_t>(s) <= static_cast<int64_t>(threshold)) {
      check_candidates(list, max_count, static_cast<int64_t>(s), position_ms(o), entry);
    }
  }
}

}  // namespace

void reference_match_quick(AudioReader* reader, const uint64_t* query, int length, Candidates* list,
                           uint32_t max_count, const AudioFilter* filter, MatchStats* stats) {
  MatchStats local{};
  if (filter == nullptr) filter = &empty_filter;
  adb_reader_restart(reader);
  while (const AudioEntry* entry = adb_reader_next(reader)) {
    if (filter->name != nullptr && (entry->name.str == nullptr || std::strcmp(filter->name, entry->name.str) != 0)) {
      continue;
    }
    if (filter->mask != 0 && (filter->mask & entry->mask) == 0) continue;
    if (entry->mask > KIVO_MATCHER_MAX_MASK) continue;
    reference_scan(entry, query, length, true, list, max_count, &local);
    local.scanned += entry->size;
  }
  if (stats != nullptr) {
    stats->compared += local.compared;
    stats->scanned += local.scanned;
  }
}

void reference_match_full(AudioReader* reader, const uint64_t* query, int length, const Candidates* quick,
                          Candidates* result, uint32_t max_count, MatchStats* stats) {
  std::vector<const AudioEntry*> collected;
  adb_reader_restart(reader);
  while (const AudioEntry* entry = adb_reader_next(reader)) {
    if (entry->mask > KIVO_MATCHER_MAX_MASK) continue;
    for (int i = 0; i < quick->count; ++i) {
      if (hstr_eq(&entry->name, &quick->items[i].entry->name)) {
        collected.push_back(entry);
        break;
      }
    }
  }
  MatchStats local{};
  for (const AudioEntry* entry : collected) {
    reference_scan(entry, query, length, false, result, max_count, &local);
    local.scanned += entry->size;
  }
  if (stats != nullptr) {
    stats->compared += local.compared;
    stats->scanned += local.scanned;
  }
}

void reference_match(AudioDB* db, const uint64_t* query, int length, Candidates* result, uint32_t max_count,
                     MatchStats* stats) {
  Candidates quick;
  init_candidates(&quick, max_count);
  AudioReader reader;
  adb_reader_start(&reader, db);
  reference_match_quick(&reader, query, length, &quick, max_count, nullptr, stats);
  reference_match_full(&reader, query, length, &quick, result, max_count, stats);
  free_candidates(&quick);
  own_candidates(result);
  adb_reader_end(&reader);
}

BitCounts count_bits(uint64_t q, uint64_t r) {
  BitCounts c;
  for (int bit = 0; bit < 64; ++bit) {
    const bool in_q = (q >> bit) & 1;
    const bool in_r = (r >> bit) & 1;
    c.a += in_q && !in_r;
    c.b += in_r && !in_q;
  }
  return c;
}

std::vector<uint64_t> random_words(std::mt19937_64& rng, size_t count) {
  std::vector<uint64_t> words(count);
  for (uint64_t& w : words) w = rng();
  return words;
}


std::vector<const scan::Kernel*> available_kernels() {
  std::vector<const scan::Kernel*> kernels;
  for (scan::Path path : {scan::Path::portable, scan::Path::avx2, scan::Path::avx512}) {
    if (const scan::Kernel* kernel = scan::kernel_for(path)) kernels.push_back(kernel);
  }
  return kernels;
}

const char* path_name(scan::Path path) {
  switch (path) {
    case scan::Path::portable:
      return "portable";
    case scan::Path::avx2:
      return "avx2";
    case scan::Path::avx512:
      return "avx512";
  }
  return "?";
}

}  // namespace kivo::test
