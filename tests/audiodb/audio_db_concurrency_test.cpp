// Readers walking while a writer edits: snapshots stay whole, swaps wait for old readers.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <variant>
#include <vector>

#include "common/db_helpers.h"
#include "kivo/audio_db.h"

namespace {

using kivo::test::fill;
using kivo::test::findOnWriterSide;
using kivo::test::makeEntry;
using kivo::test::readNames;
using kivo::test::ScopedDB;
using kivo::test::sideNames;
using kivo::test::sidesAgree;
using Names = std::vector<std::string>;

TEST(AudioDBConcurrencyTest, SwapWaitsForReadersOfOldSide) {
  ScopedDB t;
  fill(&t.db, {"a", "b", "c"});
  const Names after = {"x", "a", "C"};
  std::barrier sync(2);
  std::atomic<bool> swapReturned{false};
  Names oldWalk;

  std::thread reader([&] {
    AudioReader rdr;
    adb_reader_start(&rdr, &t.db);
    oldWalk.emplace_back(adb_reader_next(&rdr)->name.str);
    sync.arrive_and_wait();  // 1: standing on "a" of the old side
    sync.arrive_and_wait();  // 2: the writer has flipped sides and is waiting for us
    while (const AudioEntry* e = adb_reader_next(&rdr)) {
      oldWalk.emplace_back(e->name.str);
    }
    EXPECT_FALSE(swapReturned.load());
    adb_reader_end(&rdr);
  });
  sync.arrive_and_wait();  // 1

  std::thread writer([&] {
    AudioWriter wrr;
    adb_writer_start(&wrr, &t.db);
    AudioChangeCtx del, rep;
    AudioEntry* prev = nullptr;
    findOnWriterSide(&wrr, "b", &prev);
    adb_delete_preswap(&del, &wrr, prev);  // the entry the reader walks onto next
    findOnWriterSide(&wrr, "c", &prev);
    AudioEntry copy;
    adb_replace_get_copy(&wrr, &copy, prev);
    adb_entry_set_name(&copy, "C");
    adb_replace_preswap(&rep, &wrr, prev, &copy);
    AudioAddCtx add;
    const AudioEntry x = makeEntry("x", {1});
    adb_add_preswap(&add, &wrr, &x);
    adb_writer_swap(&wrr);
    swapReturned = true;
    adb_delete_postswap(&del);
    adb_replace_postswap(&rep);
    adb_add_postswap(&add);
    adb_writer_end(&wrr);
  });

  // A reader that starts after the flip sees the new list at once, although the swap has not returned.
  while (readNames(&t.db) != after) {
    std::this_thread::yield();
  }
  EXPECT_FALSE(swapReturned.load());
  sync.arrive_and_wait();  // 2
  reader.join();
  writer.join();
  EXPECT_TRUE(swapReturned.load());
  EXPECT_EQ(oldWalk, (Names{"a", "b", "c"}));
  EXPECT_EQ(readNames(&t.db), after);
  EXPECT_TRUE(sidesAgree(t.db));
}

// Entries of the stress test: name "<id>.<version>", a buffer derived from both, mask id % 5.
struct Item {
  unsigned id;
  unsigned version;
};

std::string nameOf(const Item& item) { return std::to_string(item.id) + "." + std::to_string(item.version); }

std::vector<uint64_t> wordsOf(const Item& item) {
  std::vector<uint64_t> words(1 + (item.id + item.version) % 7);
  for (size_t i = 0; i < words.size(); ++i) {
    words[i] = (uint64_t(item.id) << 32) ^ (uint64_t(item.version) << 8) ^ i;
  }
  return words;
}

uint64_t signatureOf(const Names& names) {
  uint64_t h = 1469598103934665603u;  // FNV-1a over the names and separators
  for (const std::string& name : names) {
    for (const char c : name + "|") {
      h = (h ^ static_cast<unsigned char>(c)) * 1099511628211u;
    }
  }
  return h;
}

// Empty when e is complete and consistent with its name, else what is wrong.
std::string defectOf(const AudioEntry* e) {
  if (e->name.str == nullptr) {
    return "entry without name";
  }
  if (e->name.hash != hstr_from_str(e->name.str).hash) {
    return std::string("stale hash on ") + e->name.str;
  }
  Item item{};
  if (std::sscanf(e->name.str, "%u.%u", &item.id, &item.version) != 2) {
    return std::string("bad name ") + e->name.str;
  }
  const std::vector<uint64_t> words = wordsOf(item);
  if (e->mask != item.id % 5 || e->size != words.size() * 8 || e->buffer == nullptr ||
      std::memcmp(e->buffer, words.data(), words.size() * 8) != 0) {
    return std::string("fingerprint of ") + e->name.str + " damaged";
  }
  return {};
}

// Published lists: every state a reader may see. A batch's result is added before its swap.
class Snapshots {
 public:
  void publish(const Names& names) {
    std::lock_guard lock(mutex_);
    known_.insert(signatureOf(names));
  }
  bool known(uint64_t signature) {
    std::lock_guard lock(mutex_);
    return known_.count(signature) != 0;
  }

 private:
  std::mutex mutex_;
  std::unordered_set<uint64_t> known_;
};

class RandomWriter {
 public:
  RandomWriter(AudioDB* db, Snapshots* snapshots) : db_(db), snapshots_(snapshots) {}

  // One write of 1 to 8 random edits, published by swap and postswaps, or by a force copy
  // after which the writer frees the unlinked entries itself; sometimes only a look.
  void batch() {
    AudioWriter wrr;
    adb_writer_start(&wrr, db_);
    const unsigned mode = rng_() % 10;
    if (mode == 0) {
      lookOnly(&wrr);
      return;
    }
    std::vector<std::variant<AudioAddCtx, AudioChangeCtx>> changes;
    std::vector<bool> isReplace;
    const unsigned edits = 1 + rng_() % 8;
    for (unsigned i = 0; i < edits; ++i) {
      const unsigned op = model_.empty() ? 0 : rng_() % (model_.size() > 48 ? 6 : 3);
      if (op == 0) {
        add(&wrr, &changes);
        isReplace.push_back(false);
      } else {
        const size_t index = rng_() % model_.size();
        AudioEntry* prev = locate(&wrr, index);
        AudioChangeCtx ctx;
        if (op == 1) {
          replace(&wrr, prev, index, &ctx);
        } else {
          ASSERT_EQ(adb_delete_preswap(&ctx, &wrr, prev), 1);
          model_.erase(model_.begin() + static_cast<std::ptrdiff_t>(index));
        }
        changes.emplace_back(ctx);
        isReplace.push_back(op == 1);
      }
    }
    ASSERT_EQ(sideNames(*db_, 1 - wrr.side), names());
    snapshots_->publish(names());
    if (mode == 1) {
      adb_writer_force_copy_and_end(&wrr);
      for (auto& change : changes) {
        if (auto* ctx = std::get_if<AudioChangeCtx>(&change)) {
          adb_entry_free(ctx->oldentry);
        }
      }
    } else {
      adb_writer_swap(&wrr);
      for (size_t i = 0; i < changes.size(); ++i) {
        if (auto* add = std::get_if<AudioAddCtx>(&changes[i])) {
          adb_add_postswap(add);
        } else if (isReplace[i]) {
          adb_replace_postswap(&std::get<AudioChangeCtx>(changes[i]));
        } else {
          adb_delete_postswap(&std::get<AudioChangeCtx>(changes[i]));
        }
      }
      adb_writer_end(&wrr);
    }
    ASSERT_TRUE(sidesAgree(*db_));
  }

  Names names() const {
    Names out;
    for (const Item& item : model_) {
      out.push_back(nameOf(item));
    }
    return out;
  }

 private:
  void lookOnly(AudioWriter* wrr) {
    Names seen;
    adb_writer_restart(wrr);
    while (AudioEntry* e = adb_writer_next(wrr)) {
      seen.emplace_back(e->name.str);
    }
    EXPECT_EQ(seen, names());
    adb_writer_end(wrr);
  }

  void add(AudioWriter* wrr, std::vector<std::variant<AudioAddCtx, AudioChangeCtx>>* changes) {
    const Item item{nextId_++, 0};
    const AudioEntry entry = makeEntry(nameOf(item).c_str(), wordsOf(item), uint8_t(item.id % 5));
    AudioAddCtx ctx;
    ASSERT_EQ(adb_add_preswap(&ctx, wrr, &entry), 1);
    changes->emplace_back(ctx);
    model_.insert(model_.begin(), item);
  }

  // The predecessor of the model's entry at index, found on the writer side by name: by a
  // walk, or by adb_writer_get_prev.
  AudioEntry* locate(AudioWriter* wrr, size_t index) {
    const std::string name = nameOf(model_[index]);
    AudioEntry* prev = nullptr;
    if (rng_() % 2 == 0) {
      EXPECT_NE(findOnWriterSide(wrr, name.c_str(), &prev), nullptr);
    } else {
      const HashedStr h = hstr_from_str(name.c_str());
      prev = adb_writer_get_prev(wrr, &h);
      EXPECT_EQ(prev == nullptr, index == 0);
    }
    return prev;
  }

  void replace(AudioWriter* wrr, AudioEntry* prev, size_t index, AudioChangeCtx* ctx) {
    Item& item = model_[index];
    ++item.version;
    AudioEntry copy;
    if (prev != nullptr) {
      ASSERT_EQ(adb_replace_get_copy(wrr, &copy, prev), 1);
    } else {
      ASSERT_EQ(adb_entry_init_from_other(&copy, adb_writer_get_head(wrr)), 1);
    }
    const std::vector<uint64_t> words = wordsOf(item);
    ASSERT_EQ(adb_entry_set_name(&copy, nameOf(item).c_str()), 1);
    ASSERT_EQ(adb_entry_init_buffer(&copy, words.data(), words.size() * 8), 1);
    ASSERT_EQ(adb_replace_preswap(ctx, wrr, prev, &copy), 1);
  }

  AudioDB* db_;
  Snapshots* snapshots_;
  std::mt19937 rng_{20240611};
  std::vector<Item> model_;
  unsigned nextId_ = 0;
};

TEST(AudioDBConcurrencyTest, ReadersSeeOnlyWholeListsWhileAWriterAppliesRandomBatches) {
  constexpr int kReaders = 3;
  constexpr int kBatches = 1500;
  ScopedDB t;
  Snapshots snapshots;
  snapshots.publish({});
  std::atomic<bool> writing{true};
  std::atomic<int> defects{0};
  std::atomic<long> walks{0};

  auto readLoop = [&] {
    Names first, again;
    do {
      AudioReader rdr;
      adb_reader_start(&rdr, &t.db);
      for (Names* walk : {&first, &again}) {
        walk->clear();
        adb_reader_restart(&rdr);
        while (const AudioEntry* e = adb_reader_next(&rdr)) {
          const std::string defect = defectOf(e);
          if (!defect.empty() && defects++ == 0) {
            ADD_FAILURE() << defect;
          }
          walk->emplace_back(e->name.str != nullptr ? e->name.str : "");
        }
      }
      adb_reader_end(&rdr);
      if ((first != again || !snapshots.known(signatureOf(first))) && defects++ == 0) {
        ADD_FAILURE() << "a reader saw a list that no write produced (" << first.size() << " entries)";
      }
      ++walks;
    } while (writing.load() && defects.load() == 0);
  };
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back(readLoop);
  }

  RandomWriter writer(&t.db, &snapshots);
  for (int i = 0; i < kBatches && !testing::Test::HasFailure(); ++i) {
    writer.batch();
  }
  writing = false;
  for (std::thread& r : readers) {
    r.join();
  }
  EXPECT_EQ(defects.load(), 0);
  EXPECT_GE(walks.load(), kReaders);
  EXPECT_EQ(readNames(&t.db), writer.names());
  EXPECT_TRUE(sidesAgree(t.db));
}

}  // namespace
