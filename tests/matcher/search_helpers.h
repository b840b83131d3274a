// Helpers for matcher tests: databases built from word vectors, candidate list views, and the
// straightforward reference implementation of both search stages that the optimised search must
// reproduce exactly.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "audiodb/scan_kernel.h"
#include "kivo/matcher.h"

namespace kivo::test {

// One reference entry to add. extra_bytes lengthens the buffer past the last whole word.
struct TestEntry {
  std::optional<std::string> name;
  std::vector<uint64_t> words;
  uint8_t mask = 0;
  size_t extra_bytes = 0;
};

// A database freed (with its link checks) at scope end.
class TestDB {
 public:
  TestDB() { adb_init(&db_); }
  ~TestDB() { adb_free(&db_); }
  TestDB(const TestDB&) = delete;
  TestDB& operator=(const TestDB&) = delete;

  AudioDB* get() { return &db_; }

  // Adds entries in one write so that the list reads them in the given order, before any
  // entries already present.
  void add(const std::vector<TestEntry>& entries);

  // Deletes the first entry named name.
  void remove(const std::string& name);

 private:
  AudioDB db_;
};

// A candidate list initialised for max_count and freed at scope end.
class CandidateList {
 public:
  explicit CandidateList(uint32_t max_count) : max_(max_count) { init_candidates(&list_, max_count); }
  ~CandidateList() { free_candidates(&list_); }
  CandidateList(const CandidateList&) = delete;
  CandidateList& operator=(const CandidateList&) = delete;

  Candidates* get() { return &list_; }
  const Candidates& operator*() const { return list_; }
  uint32_t max() const { return max_; }

 private:
  uint32_t max_;
  Candidates list_;
};

// A started reader, ended at scope end.
class ScopedReader {
 public:
  explicit ScopedReader(AudioDB* db) { adb_reader_start(&reader_, db); }
  ~ScopedReader() { adb_reader_end(&reader_); }
  ScopedReader(const ScopedReader&) = delete;
  ScopedReader& operator=(const ScopedReader&) = delete;
  AudioReader* get() { return &reader_; }

 private:
  AudioReader reader_;
};

// A candidate as plain values, for comparisons and failure messages.
struct CandidateView {
  int64_t score;
  uint64_t position;
  uint64_t size;
  std::string name;
  unsigned mask;
  const AudioEntry* entry;  // compared only when both lists point into the database
  bool operator==(const CandidateView&) const = default;
};
std::vector<CandidateView> view(const Candidates& list, bool with_entries);
std::vector<uint64_t> thresholds(const Candidates& list);
std::string describe(const std::vector<CandidateView>& views);

// The two stages written out directly: every offset scored with the scalar functions and
// offered at once; the full stage collects every entry of a candidate's name first.
void reference_match_quick(AudioReader* reader, const uint64_t* query, int length, Candidates* list,
                           uint32_t max_count, const AudioFilter* filter, MatchStats* stats);
void reference_match_full(AudioReader* reader, const uint64_t* query, int length, const Candidates* quick,
                          Candidates* result, uint32_t max_count, MatchStats* stats);
void reference_match(AudioDB* db, const uint64_t* query, int length, Candidates* result, uint32_t max_count,
                     MatchStats* stats);

// Bit-by-bit difference counts of one word pair: A (query only) and B (reference only).
struct BitCounts {
  uint64_t a = 0;
  uint64_t b = 0;
};
BitCounts count_bits(uint64_t q, uint64_t r);

std::vector<uint64_t> random_words(std::mt19937_64& rng, size_t count);

// Every scan kernel this processor runs, portable first.
std::vector<const scan::Kernel*> available_kernels();
const char* path_name(scan::Path path);

}  // namespace kivo::test
