#include "kivo/kivo_matcher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "common/log_capture.h"
#include "common/virtual_time.h"
#include "common/signals.h"
#include "kivo/afp_generator.h"
#include "kivo/matcher.h"

namespace {

using kivo::Bytes;
using kivo::KIVOMatcher;
using kivo::KIVOMatchResult;

Bytes pcmBytes(const std::vector<int16_t>& pcm) {
  Bytes out(pcm.size() * 2);
  std::memcpy(out.data(), pcm.data(), out.size());
  return out;
}

// Twenty seconds of distinct music per seed, as 16000 Hz PCM.
const Bytes& track(uint32_t seed) {
  static std::map<uint32_t, Bytes> tracks;
  auto& t = tracks[seed];
  if (t.empty()) t = pcmBytes(kivo::test::toPcm(kivo::test::music(320000, seed)));
  return t;
}

Bytes afpOf(const Bytes& pcm) { return *kivo::AFPFromPCM(pcm); }

// Bytes [fromSample, fromSample + samples) of a PCM buffer.
Bytes cut(const Bytes& pcm, size_t fromSample, size_t samples) {
  return Bytes(pcm.begin() + long(fromSample * 2), pcm.begin() + long((fromSample + samples) * 2));
}

nlohmann::json describe(const std::string& title, const std::string& type = "cf") {
  return {{"type", type}, {"title", title}, {"_id", title}};
}

// Delivers a pack's records the way the pack reader does.
void loadPack(KIVOMatcher& m, const std::vector<std::pair<std::string, Bytes>>& adds,
              const std::vector<std::string>& deletes, const nlohmann::json& media) {
  m.beginAdd();
  for (const auto& [id, afp] : adds) m.audioPackRetrieveAFPData({id, 0, afp});
  for (const auto& id : deletes) m.audioPackDeleteIfAny(id);
  m.audioPackFinishLoadWithMetaData({{"media", media}});
  m.finishAdd();
}

std::shared_ptr<KIVOMatcher> threeTracks() {
  auto m = KIVOMatcher::create();
  loadPack(*m, {{"t1", afpOf(track(1))}, {"t2", afpOf(track(2))}, {"t3", afpOf(track(3))}}, {},
           {{"t1", describe("One")}, {"t2", describe("Two")}, {"t3", describe("Three")}});
  return m;
}

TEST(KIVOMatcher, ExcerptIsFoundAtItsEntryAndPosition) {
  auto m = threeTracks();
  EXPECT_EQ(m->count(), 3u);
  // Samples 40000 onward: the excerpt's first step is reference step 40, 2500 ms in.
  const auto results = m->matchPCM(cut(track(2), 40000, 34000));
  ASSERT_TRUE(results && !results->empty());
  const KIVOMatchResult& best = results->front();
  EXPECT_EQ(best.name(), "t2");
  EXPECT_EQ(best.position(), 2500u);
  EXPECT_EQ(best.score(), 0.0);
  EXPECT_EQ(best.duration(), double(afpOf(track(2)).size()) / 256);
  EXPECT_EQ(best.metadata()["title"], "Two");
  EXPECT_EQ(best.type(), 0);
  for (size_t i = 1; i < results->size(); ++i) EXPECT_LE((*results)[i - 1].score(), (*results)[i].score());
}

TEST(KIVOMatcher, NormalisedScoreIsRawScorePerStep) {
  auto m = threeTracks();
  auto afp = afpOf(cut(track(1), 16000, 34000));
  // Flip bits so that the best alignment has a non-zero raw score.
  for (size_t i = 0; i < afp.size(); i += 5) afp[i] ^= 0x11;
  const auto results = m->matchAFP(afp);
  ASSERT_TRUE(results && !results->empty());
  Candidates raw;
  init_candidates(&raw, 10);
  AudioDB db;
  adb_init(&db);
  AudioEntry entry;
  adb_entry_init(&entry, 0);
  const Bytes reference = afpOf(track(1));
  adb_entry_set_name(&entry, "t1");
  adb_entry_init_buffer(&entry, reference.data(), reference.size());
  AudioWriter w;
  adb_writer_start(&w, &db);
  AudioAddCtx ctx;
  adb_add_preswap(&ctx, &w, &entry);
  adb_writer_force_copy_and_end(&w);
  std::vector<uint64_t> words(afp.size() / 8);
  std::memcpy(words.data(), afp.data(), afp.size());
  match(&db, words.data(), int(words.size()), &raw, 10, nullptr);
  ASSERT_GT(raw.count, 0);
  EXPECT_GT(raw.items[0].score, 0);
  EXPECT_EQ(results->front().score(), double(raw.items[0].score / 24) * 0x1p-24);
  free_candidates(&raw);
  adb_free(&db);
}

TEST(KIVOMatcher, RefusalsAndEmptyQueries) {
  auto m = threeTracks();
  kivo::test::LogCapture log;
  EXPECT_FALSE(m->matchAFP(std::nullopt).has_value());
  EXPECT_TRUE(log.contains("[WARN] cannot add nil AFP"));
  // No words: nothing matches (not every entry "perfectly").
  EXPECT_TRUE(m->matchAFP(Bytes{})->empty());
  EXPECT_TRUE(m->matchAFP(Bytes(7, 0xFF))->empty());
  EXPECT_TRUE(m->matchPCM(cut(track(1), 0, 10000))->empty());  // ten frames: an AFP of no words

  m->beginAdd();
  EXPECT_FALSE(m->matchAFP(afpOf(cut(track(1), 0, 34000))).has_value());
  EXPECT_TRUE(log.contains("[WARN] cannot match when writing mode. use finishAdd before"));
  m->beginAdd();
  EXPECT_TRUE(log.contains("[WARN] duplicated beginAdd: _underWriting flags is already true"));
  m->finishAdd();
  m->finishAdd();
  EXPECT_TRUE(log.contains("[WARN] calling finishAdd without beginAdd: _underWriting flags is false"));
  m->addAFP(afpOf(track(4)), "t4");
  EXPECT_TRUE(log.contains("[WARN] addAFP without beginAdd"));
  AudioEntry entry;
  adb_entry_init(&entry, 0);
  EXPECT_FALSE(m->addEntry(entry));
  EXPECT_TRUE(log.contains("[WARN] addEntry without beginAdd"));
  EXPECT_EQ(m->count(), 3u);
}

// The loading thread holds the database's locks from beginAdd to finishAdd; a host releasing its
// matcher meanwhile on another thread must not end the add there.
TEST(KIVOMatcher, MatcherReleasedDuringAnAddEndsItOnTheLoadingThread) {
  auto m = threeTracks();
  std::weak_ptr<KIVOMatcher> alive = m;
  KIVOMatcher* loading = m.get();
  std::thread loader([&] {
    loading->beginAdd();
    std::thread host([&] { m.reset(); });
    host.join();
    EXPECT_FALSE(alive.expired());
    loading->addAFP(afpOf(track(4)), "t4");
    loading->finishAdd();
  });
  loader.join();
  EXPECT_TRUE(alive.expired());
}

TEST(KIVOMatcher, PackBookkeeping) {
  auto m = KIVOMatcher::create();
  const Bytes a = afpOf(track(1)), b = afpOf(track(2)), c = afpOf(track(3));
  // A pack that adds and deletes one identifier does not add it; repeated records keep the first.
  loadPack(*m, {{"a", a}, {"b", b}, {"b", c}, {"gone", c}, {"", c}, {"empty", {}}}, {"gone"},
           {{"a", describe("A")}, {"b", describe("B")}, {"gone", describe("Gone")}});
  EXPECT_EQ(m->count(), 2u);
  const auto gone = m->matchPCM(cut(track(3), 0, 34000));
  for (const auto& r : *gone) EXPECT_NE(r.name(), "gone");
  auto best = m->matchPCM(cut(track(2), 0, 34000));
  ASSERT_TRUE(best && !best->empty());
  EXPECT_EQ(best->front().name(), "b");
  EXPECT_EQ(best->front().score(), 0.0);

  // A later pack replaces a description whole, keeps the first AFP of a known identifier, and
  // deletes an identifier of an earlier pack from the database and every map.
  loadPack(*m, {{"a", c}, {"p", c}}, {"b"}, {{"a", {{"type", "cf"}, {"title", "A2"}}}, {"p", describe("P", "pg")}});
  EXPECT_EQ(m->count(), 2u);
  EXPECT_EQ(m->metadata()["media"]["a"], (nlohmann::json{{"type", "cf"}, {"title", "A2"}}));
  EXPECT_FALSE(m->metadata()["media"].contains("b"));
  const auto deleted = m->matchPCM(cut(track(2), 0, 34000));
  for (const auto& r : *deleted) EXPECT_NE(r.name(), "b");
  best = m->matchPCM(cut(track(1), 0, 34000));
  ASSERT_TRUE(best && !best->empty());
  EXPECT_EQ(best->front().name(), "a");
  EXPECT_EQ(best->front().score(), 0.0);
  // "pg" media are never reported.
  EXPECT_FALSE(m->isValidIdentifier("p"));
  EXPECT_TRUE(m->isValidIdentifier("a"));
  const auto third = m->matchPCM(cut(track(3), 0, 34000));
  for (const auto& r : *third) EXPECT_NE(r.name(), "p");
  EXPECT_EQ(m->AFPDescription("a"), "AFP Key a [cf] (A2)");
  EXPECT_EQ(m->AFPDescription("zz"), "AFP Key zz [unknown] (nil)");

  std::vector<std::string> names;
  m->forEachAudioPack([&](const kivo::KIVOAudioPackAFPData& d) { names.push_back(*d.identifier); });
  EXPECT_EQ(names, (std::vector<std::string>{"p", "a"}));
}

TEST(KIVOMatcher, DurationsAndMetadataTypes) {
  auto m = KIVOMatcher::create();
  kivo::test::LogCapture log;
  m->beginAdd();
  m->audioPackRetrieveAFPData({"x", 0, Bytes(384, 0x5A)});
  m->audioPackFinishLoadWithMetaData({{"media", {{"x", "not a dictionary"}, {"y", describe("Y")}}}});
  m->finishAdd();
  EXPECT_EQ(m->count(), 1u);
  EXPECT_FALSE(m->metadata()["media"].contains("x"));
  EXPECT_TRUE(log.contains("[WARN] skipping metadata of x: not a dictionary"));
  // A top-level value that is not an object carries no media.
  m->beginAdd();
  m->audioPackFinishLoadWithMetaData(nlohmann::json::array({1, 2}));
  m->finishAdd();
  EXPECT_EQ(m->metadata()["media"].size(), 1u);

  auto results = m->matchAFP(Bytes(384, 0x5A));
  EXPECT_TRUE(results->empty());  // no description for x
  m->beginAdd();
  m->audioPackFinishLoadWithMetaData({{"media", {{"x", describe("X")}}}});
  m->finishAdd();
  results = m->matchAFP(Bytes(384, 0x5A));
  ASSERT_FALSE(results->empty());
  EXPECT_EQ(results->front().duration(), 1.5);
}

TEST(KIVOMatcher, CutoffFilterKeepsItsLiteralDirection) {
  auto m = threeTracks();
  const auto query = afpOf(cut(track(3), 0, 34000));
  m->setUseCutoffFilter(true);
  m->setCutoff(-25.0);  // the controller's default: drops nothing
  EXPECT_FALSE(m->matchAFP(query)->empty());
  m->setCutoff(0.5);  // drops every result scoring below 0.5, the perfect one first
  const auto kept = m->matchAFP(query);
  for (const auto& r : *kept) EXPECT_GE(r.score(), 0.5);
}

KIVOMatchResult result(const std::string& name, uint64_t position, double score = 1.0) {
  return KIVOMatchResult(name, score, position, 10, nullptr);
}

TEST(KIVOMatcher, AgreementNeedsTheSameMediaWhereTheFirstWindowPredicts) {
  auto m = KIVOMatcher::create();
  // f = [A, B], s = [B, A]: the second window's A, the first window's best.
  auto agreed = m->matchingKeyFromResults({result("A", 1000), result("B", 5000)},
                                          {result("B", 6125), result("A", 2125, 2.0)});
  ASSERT_TRUE(agreed);
  EXPECT_EQ(agreed->name(), "A");
  EXPECT_EQ(agreed->score(), 2.0);
  // Within one step of the prediction, either way.
  EXPECT_TRUE(m->matchingKeyFromResults({result("A", 1000)}, {result("A", 2187)}));
  EXPECT_TRUE(m->matchingKeyFromResults({result("A", 1000)}, {result("A", 2063)}));
  // The same media elsewhere is chance, not agreement; a later result of it may still agree.
  EXPECT_FALSE(m->matchingKeyFromResults({result("A", 1000)}, {result("A", 40000)}));
  EXPECT_FALSE(m->matchingKeyFromResults({result("A", 1000)}, {result("A", 2250)}));
  EXPECT_EQ(m->matchingKeyFromResults({result("A", 1000)}, {result("A", 40000), result("A", 2125, 3.0)})->score(), 3.0);
  // Other window distances, and nameless results.
  EXPECT_TRUE(m->matchingKeyFromResults({result("A", 1000)}, {result("A", 1000)}, 0.0));
  EXPECT_FALSE(m->matchingKeyFromResults({result("", 1000)}, {result("", 2125)}));
  EXPECT_FALSE(m->matchingKeyFromResults({}, {result("A", 2125)}));
  // The acceptance limit is the block verification's; agreement takes any score.
  m->setAcceptanceLimit(1.5);
  EXPECT_TRUE(m->matchingKeyFromResults({result("A", 1000)}, {result("A", 2125, 60.0)}));
  EXPECT_TRUE(m->matchingKeyFromResults({result("A", 1000)}, {result("A", 2125, 1.5)}));
}

TEST(KIVOMatcher, DoubleWindowMatchCompletesOnTheMainQueue) {
  kivo::test::VirtualTime time;
  auto m = threeTracks();
  std::vector<std::optional<KIVOMatchResult>> answers(4);
  std::vector<bool> called(4, false);
  auto record = [&](size_t i) {
    return [&, i](std::optional<KIVOMatchResult> r) {
      called[i] = true;
      answers[i] = std::move(r);
    };
  };
  m->matchDoublePCM(cut(track(2), 64000, 52000), record(0));  // a 104,000-byte block
  m->matchDoublePCM(cut(track(1), 0, 5000), record(1));       // shorter than a window
  Bytes odd = cut(track(3), 16000, 52000);
  odd.push_back(0x42);  // 104,001 bytes: the second window must still start on a sample
  m->matchDoublePCM(odd, record(2));
  m->matchDoublePCM(pcmBytes(kivo::test::toPcm(kivo::test::noise(52000, 0.3f, 9))), record(3));  // not held
  EXPECT_EQ(called, std::vector<bool>(4, false));         // completions never run inline
  time.settle();
  EXPECT_EQ(called, std::vector<bool>(4, true));
  ASSERT_TRUE(answers[0]);
  EXPECT_EQ(answers[0]->name(), "t2");
  EXPECT_EQ(answers[0]->position(), 5125u);  // the second window: 4000 ms + 1125 ms
  EXPECT_FALSE(answers[1]);
  ASSERT_TRUE(answers[2]);
  EXPECT_EQ(answers[2]->name(), "t3");
  EXPECT_EQ(answers[2]->score(), 0.0);
  EXPECT_FALSE(answers[3]);
}

TEST(KIVOMatcher, MatcherOutlivesItsTasks) {
  kivo::test::VirtualTime time;
  std::optional<KIVOMatchResult> answer;
  bool called = false;
  {
    auto m = threeTracks();
    m->matchDoublePCM(cut(track(1), 32000, 52000), [&](std::optional<KIVOMatchResult> r) {
      called = true;
      answer = std::move(r);
    });
  }  // the host drops its matcher while both windows are queued
  time.settle();
  EXPECT_TRUE(called);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->name(), "t1");
}

TEST(KIVOMatcher, StandaloneWrites) {
  auto m = threeTracks();
  EXPECT_FALSE(m->removeEntryWithName("nope"));
  EXPECT_TRUE(m->removeEntryWithName("t1"));
  std::vector<std::string> names;
  m->forEachAudioPack([&](const kivo::KIVOAudioPackAFPData& d) { names.push_back(*d.identifier); });
  EXPECT_EQ(names, (std::vector<std::string>{"t3", "t2"}));

  AudioEntry entry;
  adb_entry_init(&entry, 3);
  adb_entry_set_name(&entry, "raw");
  adb_entry_init_buffer(&entry, "12345678", 8);
  EXPECT_TRUE(m->twoPhaseAddEntry(entry));
  m->beginAdd();
  AudioEntry refused;
  adb_entry_init(&refused, 0);
  EXPECT_FALSE(m->twoPhaseAddEntry(refused));
  m->finishAdd();
  names.clear();
  m->forEachAudioPack([&](const kivo::KIVOAudioPackAFPData& d) {
    names.push_back(*d.identifier);
    if (d.identifier == "raw") {
      EXPECT_EQ(d.type, 3);
    }
  });
  EXPECT_EQ(names, (std::vector<std::string>{"raw", "t3", "t2"}));
}

}  // namespace
