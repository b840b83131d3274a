// KIVOMatcher: local recognition. Owns an audio database and the metadata of the media it holds,
// loads audio packs into it in one two-phase write, and matches query AFPs or PCM against it.
//
// Threads: a pack load (beginAdd ... finishAdd) runs on one thread, which must call both; matches
// run on any threads, concurrently with each other and with a load, and never see part of a
// load. Every member function is safe to call from any thread. Tasks the matcher starts, and an
// open add, hold a shared_ptr to it: create matchers with create() and let them go whenever you
// like (a matcher released during an add lives until finishAdd, so the add ends on its thread).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kivo/audio_db.h"
#include "kivo/audio_pack_delegate.h"
#include "kivo/bytes.h"
#include "kivo/export.h"
#include "kivo/match_result.h"

namespace kivo {
namespace dispatch {
class Group;
}

// The number of results a match returns at most, and the bytes of PCM one window fingerprints.
KIVO_API extern const int KIVOMatcherMaxCandidates;    // 10
KIVO_API extern const int KIVOMatcherBytesSingleChunk;  // 68000 (2.125 s at 16000 Hz)

class KIVO_API KIVOMatcher final : public KIVOAudioPackDelegate, public std::enable_shared_from_this<KIVOMatcher> {
 public:
  using Results = std::vector<KIVOMatchResult>;
  using MatchedHandler = std::function<void(std::optional<KIVOMatchResult>)>;
  using AFPVisitor = std::function<void(const KIVOAudioPackAFPData&)>;

  // Default acceptance limit of acceptance(): chosen with kivo eval on real music, with head-room
  // above every excerpt of unknown music measured (docs/recognition.md).
  static constexpr double kDefaultAcceptanceLimit = 4.5;

  // The whole block checked against the database: the media found by both windows' quick stages
  // (and, when they are fewer than 4, the media of the block's best quick alignments) are scored
  // with the block's AFP, and with its AFP from half a step in, at every offset, in the
  // verification's weighting (kivo/media_scores.h). On those scores per step (lower is better), in
  // standard deviations (spread) of the block's scores at sampled offsets, statistic is how far the
  // best media stands above the best other one, (runnerUp - score) / spread, plus kStandOutWeight
  // times how far the best score stands beyond where the best of `offsets` unrelated alignments
  // would, (mean - score) / spread - sqrt(2 ln offsets) (statisticOf). With no other media the
  // runner-up is the best media's own best sampled alignment at least 2 s away; with neither, or no
  // media, statistic is -infinity.
  struct Verification {
    std::string name;           // the best media; empty when none was scored
    uint64_t position = 0;      // ms of its best alignment, where the block starts
    double score = 0;           // its verification score per step
    double searchScore = 0;     // the search's normalised score of that alignment (what an answer reports)
    double runnerUp = 0;        // the best other media's verification score per step
    double spread = 0;          // standard deviation of the block's sampled scores per step
    double statistic = -std::numeric_limits<double>::infinity();
    size_t media = 0;           // media scored
    bool windowsAgree = false;  // both windows agree on the best media
    double agreedScore = std::numeric_limits<double>::quiet_NaN();  // where they agree: the second window's score
    double mean = 0;            // mean of the block's sampled scores per step
    uint64_t offsets = 0;       // alignments scored: the sampled ones times the sampling interval and phases
  };
  // Weight of the best score's stand-out from the unrelated alignments in the statistic.
  static constexpr double kStandOutWeight = 0.125;
  // The statistic of a verification's scores, spread, mean and offsets (-infinity without spread).
  static double statisticOf(const Verification& verification);
  // The window score under which agreeing windows halve the statistic needed (acceptance()).
  static constexpr double kAgreementScoreLimit = 22.0;
  // The value compared with the acceptance limit: the verification's statistic, doubled where both
  // windows agree on the verified media with a score of at most kAgreementScoreLimit (two kinds of
  // evidence that unknown audio rarely gives together). -infinity without a statistic.
  static double acceptance(const Verification& verification);
  // Everything one block gives: both windows' results, the verification and the answer.
  struct BlockMatch {
    Results first, second;
    Verification verification;
    std::optional<KIVOMatchResult> answer;
  };

  static std::shared_ptr<KIVOMatcher> create();
  ~KIVOMatcher() override;
  KIVOMatcher(const KIVOMatcher&) = delete;
  KIVOMatcher& operator=(const KIVOMatcher&) = delete;

  // ---- Properties ----
  // A snapshot of the metadata: {"media": {identifier: description, ...}}.
  nlohmann::json metadata() const;
  // With useCutoffFilter on, results whose normalised score is below cutoff are dropped (lower
  // scores are better, so a positive cutoff drops the best results; the value is shared with the
  // console and kept as it is).
  double cutoff() const;
  void setCutoff(double cutoff);
  bool useCutoffFilter() const;
  void setUseCutoffFilter(bool on);
  // Enables the diagnostic log lines.
  bool debugMode() const;
  void setDebugMode(bool on);
  // matchDoublePCM answers only when acceptance(verification) is at least this limit.
  // Default kDefaultAcceptanceLimit; -infinity accepts every verified media.
  double acceptanceLimit() const;
  void setAcceptanceLimit(double limit);
  // Number of identifiers in the database.
  size_t count() const;

  // ---- Writing ----
  // Opens the two-phase add: takes the database's writer until finishAdd, on the same thread.
  void beginAdd();
  // Publishes every change since beginAdd at once, then frees the entries they unlinked.
  void finishAdd();
  // Reads the pack at path into the open add; false when it could not be read to its end, in
  // which case the records it delivered are discarded.
  bool addAudioPackWithPath(const std::filesystem::path& path);
  // Adds afp under identifier to the open add (maps updated only when the database took it).
  void addAFP(const Bytes& afp, const std::string& identifier);
  // Unlinks identifier's entry in the open add; it leaves the database at finishAdd.
  void deleteAFPWithIdentifier(const std::string& identifier);
  // Adds a built entry to the open add; the database takes over its name and buffer on success.
  // Returns whether it did; false (logged) without an open add.
  bool addEntry(AudioEntry& entry);
  // Complete writes of their own, when no add is open; false when one is, or nothing was changed.
  // replaceEntry's entry must carry the replaced entry's links (adb_replace_get_copy).
  bool twoPhaseAddEntry(AudioEntry& entry);
  bool removeEntryWithName(const std::string& name);
  bool replaceEntry(AudioEntry& entry, const std::string& name);

  // ---- Pack delegate and bookkeeping ----
  void audioPackRetrieveAFPData(KIVOAudioPackAFPData afp) override;
  void audioPackDeleteIfAny(const std::string& identifier) override;
  void audioPackFinishLoadWithMetaData(const nlohmann::json& metadata) override;
  bool isRemovedIdentifier(const std::string& identifier) const;
  bool keyWillBeDelete(const std::string& identifier) const { return isRemovedIdentifier(identifier); }
  // "AFP Key ID [TYPE] (TITLE)", "unknown" and "nil" standing in for a missing type and title.
  std::string AFPDescription(const std::string& identifier) const;
  // Applies the records received from the pack being loaded to the open add.
  void updateAudioDB();
  // True when both are the same object, or both present with equally many entries.
  static bool isSameMetadata(const nlohmann::json* a, const nlohmann::json* b);
  // Calls visit for each entry in list order, under a database reader (visit must not write to
  // this matcher).
  void forEachAudioPack(const AFPVisitor& visit) const;
  // True when the media has a description whose type is not "pg".
  bool isValidIdentifier(const std::string& identifier) const;

  // ---- Matching ----
  // Results for a query AFP, best first; none while an add is open or without an AFP. An AFP of
  // no words matches nothing.
  std::optional<Results> matchAFP(const std::optional<Bytes>& afp) const;
  // matchAFP of the AFP of 16000 Hz mono 16-bit PCM.
  std::optional<Results> matchPCM(const Bytes& pcm) const;
  // Matches the first and the last 68000 bytes of pcm concurrently on the global queue with the
  // whole block's fingerprint, verifies (Verification), then on the main queue calls matched (if
  // given) with answerOf. PCM shorter than one window gives none; the second window starts on a
  // whole sample.
  void matchDoublePCM(Bytes pcm, MatchedHandler matched);
  // The same work, waited for on the calling thread (not the main queue's); answer as matched's.
  BlockMatch matchBlock(const Bytes& pcm) const;
  // The answer for a verified block: none when acceptance(verification) is below limit. Otherwise the
  // windows' agreement (matchingKeyFromResults) when it names the verified media; else a result
  // for the verified media at its best alignment plus windowDistanceMs (where the second window
  // starts), with its searchScore, unless the cutoff filter drops that score.
  std::optional<KIVOMatchResult> answerOf(const Results& first, const Results& second,
                                          const Verification& verification, double limit,
                                          double windowDistanceMs = 1125.0) const;
  // The second window's result for the best-ranked media of first that second also found at the
  // position first predicts (first's position + windowDistanceMs, within one step); none
  // otherwise. windowDistanceMs defaults to the distance of the two windows of a 104,000-byte
  // block. No score limit applies here.
  std::optional<KIVOMatchResult> matchingKeyFromResults(const Results& first, const Results& second,
                                                        double windowDistanceMs = 1125.0) const;

 private:
  struct State;
  KIVOMatcher();
  // matchAFP's search of query words; adds to quickMedia (when given) the valid media of the
  // quick stage's candidates.
  Results search(const uint64_t* words, int count, std::vector<std::string>* quickMedia) const;
  bool validMedia(const std::string& name) const;
  struct BlockJob;
  bool startBlock(const std::shared_ptr<BlockJob>& job, const dispatch::Group& group) const;
  struct Scoring;
  // The block's verification: plans its scoring, scores two halves of the media on the global
  // queue, then sets job->verification and runs done there (at once, with nothing to score).
  void verify(const std::shared_ptr<BlockJob>& job, std::function<void()> done) const;
  bool planScoring(BlockJob& job, Scoring& scoring) const;
  void scoreHalf(Scoring& scoring, int half) const;
  Verification verification(const Scoring& scoring, const Results& first, const Results& second,
                            double windowDistanceMs) const;

  std::unique_ptr<State> state_;
};

}  // namespace kivo
