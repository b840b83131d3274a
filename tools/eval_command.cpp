// kivo eval: how well local recognition works on a folder of music, under distortions.
//
// Some tracks become the reference set (an in-memory pack), the others are held out. Random
// 3.25-second excerpts of both are distorted and matched as matchDoublePCM matches them; the report
// gives, per distortion, right answers, right positions and false accepts for three rules: the
// literal agreement (same media in both windows), the window score limit (same media where the
// first window predicts, score at most 22) and the block verification (statistic at least the
// acceptance limit); the statistic's distributions, a calibration on each half of the excerpts
// reported on the other, and what each limit would give.
#include <algorithm>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <atomic>
#include <stdexcept>
#include <map>
#include <tuple>
#include <random>
#include <string>
#include <vector>

#include "kivo/afp_generator.h"
#include "kivo/bit_score.h"
#include "kivo/dispatch.h"
#include "kivo/kivo_matcher.h"
#include "tools/arguments.h"
#include "tools/audio_decode.h"
#include "tools/distortion.h"
#include "tools/subcommands.h"

namespace kivo::tool {
namespace {

namespace fs = std::filesystem;

constexpr const char* kHelp =
    "usage: kivo eval FOLDER [options]\n"
    "\n"
    "Measures recognition on the audio files under FOLDER (any format libsndfile reads). A share of\n"
    "the tracks becomes the reference set, the rest is held out; random 3.25-second excerpts (104,000\n"
    "bytes at 16 kHz) of both are distorted and matched. Prints, per distortion, right answers, right\n"
    "positions (within 62.5 ms) and false accepts on held-out audio, for the literal agreement, the\n"
    "window score limit and the block verification, the verification statistic's distributions, a\n"
    "calibration of its limit on each half of the excerpts reported on the other half, and the\n"
    "effect of each limit.\n"
    "\n"
    "  --references N   tracks in the reference set (default: two thirds of the tracks)\n"
    "  --excerpts N     excerpts of reference tracks per distortion (default 500)\n"
    "  --unknown N      excerpts of held-out tracks per distortion (default 100)\n"
    "  --seed S         random seed (default 1)\n"
    "  --only NAME      run only the distortions whose name contains NAME (repeatable)\n"
    "  --plot FILE.svg  draw the statistic's distributions and the rates against the limit (gnuplot)\n"
    "  --table FILE     write one line per excerpt and distortion (tab-separated, with a header)\n"
    "\n"
    "Files are decoded on the library's worker pool; files that cannot be read, are shorter than 6.5\n"
    "seconds or longer than 2 hours are skipped with a line on stderr. Exit status: 0 when the report\n"
    "(and the plot) were made, 1 when they could not be, 2 on wrong usage.\n";

constexpr size_t kBlockSamples = 52000;         // 104,000 bytes
constexpr size_t kSecondWindowSamples = 18000;  // where the second 68,000-byte window starts
constexpr size_t kMaxTrackSamples = size_t(16000) * 3600 * 2;
constexpr uint64_t kMaxExcerpts = 1000000;

struct Options {
  std::string folder;
  int references = -1;
  size_t excerpts = 500, unknown = 100;
  uint32_t seed = 1;
  std::vector<std::string> only;
  std::string plot, table;
};

struct Track {
  std::string name;
  Samples samples;
};

struct Excerpt {
  int track;  // index into the tracks; reference when < references
  size_t offset;
  std::string shared;  // held out: the reference whose audio the clean excerpt is, if any
};

// A clean block whose whole fingerprint scores at most this (normalised) in a reference is the
// same recording: clean excerpts of reference tracks score 2 to 16.
constexpr double kSharedScore = 18.0;
// A held-out track whose fingerprint scores at most this against a reference's on the same
// timeline (offset 0, over the shorter track) is a version of it; unrelated music scores about 45.
constexpr double kVersionScore = 30.0;

// One answer: the agreed media (empty for none), its position and score.
struct Answer {
  std::string name;
  uint64_t position = 0;
  double score = 0;
  bool found() const { return !name.empty(); }
};

// The rules compared: the literal agreement, the window score limit, the block verification.
enum class Rule { literal, scoreLimit, verified };

// The window score limit the verification replaces.
constexpr double kWindowScoreLimit = 22.0;

struct Outcome {
  bool known;
  int track;
  std::string truth;
  uint64_t truthPosition;
  Answer literal, agreed, verified;  // agreed: positional agreement, any score
  KIVOMatcher::Verification verification;
  bool repeat = false;  // right media elsewhere, at a passage like the true one
  std::string shared;   // for held-out audio: the reference that holds the same clean audio, if any
};

bool parse(std::span<char*> args, Options& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string a = args[i];
    auto value = [&]() -> std::string {
      if (i + 1 == args.size()) throw std::invalid_argument(a + " needs a value");
      return args[++i];
    };
    if (a == "--references") o.references = int(countArgument(a, value(), 1, INT32_MAX));
    else if (a == "--excerpts") o.excerpts = countArgument(a, value(), 1, kMaxExcerpts);
    else if (a == "--unknown") o.unknown = countArgument(a, value(), 0, kMaxExcerpts);
    else if (a == "--seed") o.seed = uint32_t(countArgument(a, value(), 0, UINT32_MAX));
    else if (a == "--only") o.only.push_back(value());
    else if (a == "--plot") o.plot = value();
    else if (a == "--table") o.table = value();
    else if (!a.empty() && a[0] == '-') throw std::invalid_argument("unknown option " + a);
    else if (o.folder.empty()) o.folder = a;
    else throw std::invalid_argument("one folder only");
  }
  return !o.folder.empty();
}

// Decodes the folder's files on the global queue, so at most its pool of workers decode at once;
// a file that cannot be used is skipped with one line. Prints progress to stderr.
std::vector<Track> loadTracks(const std::string& folder) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<std::optional<Track>> loaded(files.size());
  std::atomic<size_t> done{0};
  dispatch::Group group;
  for (size_t i = 0; i < files.size(); ++i)
    group.async(dispatch::Queue::global(), [&, i] {
      const fs::path& file = files[i];
      auto decoded = decodeAudioFile(file, kMaxTrackSamples);
      if (auto* reason = std::get_if<std::string>(&decoded)) {
        // Files that are not audio at all (covers, notes) are passed over quietly.
        if (reason->find("not recognised") == std::string::npos)
          std::fprintf(stderr, "kivo eval: %s: %s, skipped\n", file.c_str(), reason->c_str());
      } else if (auto& audio = std::get<DecodedAudio>(decoded); audio.samples.size() < 2 * kBlockSamples) {
        // Long enough for an excerpt with room to move it.
        std::fprintf(stderr, "kivo eval: %s: shorter than 6.5 seconds, skipped\n", file.c_str());
      } else {
        loaded[i] = Track{file.stem().string(), std::move(audio.samples)};
      }
      const size_t n = ++done;
      if (n % 10 == 0 || n == files.size()) std::fprintf(stderr, "kivo eval: read %zu of %zu files\n", n, files.size());
    });
  group.wait();
  std::vector<Track> tracks;
  std::map<std::string, int> seen;
  for (auto& track : loaded)
    if (track) {
      // Identifiers must be unique: number repeated stems.
      if (int n = seen[track->name]++) track->name += "-" + std::to_string(n + 1);
      tracks.push_back(std::move(*track));
    }
  return tracks;
}

std::shared_ptr<KIVOMatcher> referenceMatcher(const std::vector<Track>& tracks, size_t references) {
  auto matcher = KIVOMatcher::create();
  nlohmann::json media = nlohmann::json::object();
  matcher->beginAdd();
  for (size_t i = 0; i < references; ++i) {
    const auto& t = tracks[i];
    auto afp = AFPFromSample(t.samples.data(), int32_t(std::min<size_t>(t.samples.size() * 2, INT32_MAX - 1)));
    if (!afp) continue;
    matcher->audioPackRetrieveAFPData({t.name, 0, std::move(*afp)});
    media[t.name] = {{"type", "cf"}, {"title", t.name}, {"_id", t.name}};
  }
  matcher->audioPackFinishLoadWithMetaData({{"media", media}});
  matcher->finishAdd();
  return matcher;
}

// The agreement as the literal rule has it: the second window's result for the best-ranked media
// of the first window that the second window also found, wherever it found it.
Answer literalAgreement(const KIVOMatcher::Results& first, const KIVOMatcher::Results& second) {
  for (const auto& a : first)
    for (const auto& b : second)
      if (!a.name().empty() && a.name() == b.name()) return {b.name(), b.position(), b.score()};
  return {};
}

Answer answerOf(const std::optional<KIVOMatchResult>& r) {
  return r ? Answer{r->name(), r->position(), r->score()} : Answer{};
}

// True when the reference holds nearly the same fingerprint at both positions (ms of the second
// window's start): a repeated passage.
bool repeatedPassage(const Track& t, uint64_t a, uint64_t b) {
  auto afpAt = [&](uint64_t ms) -> std::optional<Bytes> {
    const size_t start = size_t(double(ms) * 16.0);
    if (start < kSecondWindowSamples || start - kSecondWindowSamples + kBlockSamples > t.samples.size()) return {};
    return AFPFromSample(t.samples.data() + start - kSecondWindowSamples, int32_t(kBlockSamples * 2));
  };
  // Neighbouring steps are near misses of the same place, not repeats.
  if (std::abs(double(a) - double(b)) < 2000) return false;
  const auto x = afpAt(a), y = afpAt(b);
  if (!x || !y || x->size() != y->size() || x->size() < 16) return false;
  const auto* p = reinterpret_cast<const uint64_t*>(x->data());
  const auto* q = reinterpret_cast<const uint64_t*>(y->data());
  const int words = int(x->size() / 8);
  return double(block_score(p, q, words) / uint64_t(words / 2)) * 0x1p-24 <= kWindowScoreLimit;
}

// Matches every excerpt of one distortion as matchDoublePCM does.
std::vector<Outcome> runDistortion(const std::shared_ptr<KIVOMatcher>& matcher, const std::vector<Track>& tracks,
                                   size_t references, const std::vector<Excerpt>& excerpts, const Distortion& d,
                                   uint32_t seed) {
  std::vector<Outcome> outcomes(excerpts.size());
  std::mt19937 rng(seed);
  for (size_t i = 0; i < excerpts.size(); ++i) {
    const Excerpt& e = excerpts[i];
    const Track& t = tracks[size_t(e.track)];
    const Samples clean(t.samples.begin() + long(e.offset), t.samples.begin() + long(e.offset + kBlockSamples));
    Samples block = d.apply(clean, rng);
    block.resize(kBlockSamples, 0);
    Outcome& out = outcomes[i];
    out.known = size_t(e.track) < references;
    out.track = e.track;
    out.truth = t.name;
    out.truthPosition = uint64_t(double(e.offset + kSecondWindowSamples) / 16.0);
    out.shared = e.shared;
    Bytes pcm(block.size() * 2);
    std::memcpy(pcm.data(), block.data(), pcm.size());
    const auto m = matcher->matchBlock(pcm);
    out.literal = literalAgreement(m.first, m.second);
    out.agreed = answerOf(matcher->matchingKeyFromResults(m.first, m.second));
    out.verification = m.verification;
    out.verified = answerOf(matcher->answerOf(m.first, m.second, m.verification, -INFINITY));
    if (out.known && out.verified.name == out.truth &&
        std::abs(double(out.verified.position) - double(out.truthPosition)) > 62.5)
      out.repeat = repeatedPassage(t, out.verified.position, out.truthPosition);
    if ((i + 1) % 100 == 0) std::fprintf(stderr, "kivo eval: %s: %zu of %zu\n", d.name.c_str(), i + 1, excerpts.size());
  }
  return outcomes;
}

// The rule's answer and whether it is given under limit (a score limit for the window score
// rule, a statistic limit for the verification; the literal rule has none).
const Answer* given(const Outcome& o, Rule rule, double limit) {
  switch (rule) {
    case Rule::literal:
      return o.literal.found() ? &o.literal : nullptr;
    case Rule::scoreLimit:
      return o.agreed.found() && o.agreed.score <= limit ? &o.agreed : nullptr;
    case Rule::verified:
      return o.verified.found() && KIVOMatcher::acceptance(o.verification) >= limit ? &o.verified : nullptr;
  }
  return nullptr;
}

// Shares of right answers and right positions over known excerpts, and of any answer over unknown
// ones; repeats: right media at a repeat of the true passage, in percent of known excerpts.
struct Rates {
  double right = 0, position = 0, falseAccept = 0, repeats = 0;
  size_t accepted = 0, unknown = 0;
  size_t sharedAccepts = 0;  // of accepted: the reference that holds the same audio
};

Rates rates(const std::vector<Outcome>& outcomes, Rule rule, double limit) {
  size_t known = 0, unknown = 0, right = 0, position = 0, accepted = 0, repeats = 0, shared = 0;
  for (const auto& o : outcomes) {
    const Answer* a = given(o, rule, limit);
    if (o.known) {
      ++known;
      if (a && a->name == o.truth) {
        ++right;
        if (std::abs(double(a->position) - double(o.truthPosition)) <= 62.5) ++position;
        else if (rule == Rule::verified && o.repeat) ++repeats;
      }
    } else {
      ++unknown;
      const bool same = a != nullptr && !o.shared.empty() && a->name == o.shared;
      accepted += a != nullptr && !same;
      shared += same;
    }
  }
  auto share = [](size_t n, size_t of) { return of ? 100.0 * double(n) / double(of) : 0.0; };
  return {share(right, known), share(position, known), share(accepted, unknown), share(repeats, known), accepted,
          unknown, shared};
}

// The statistic of every excerpt of unknown audio (all of them are false accepts at a low enough
// limit; answers naming the reference that holds the same audio are not), and of right answers.
std::vector<double> statistics(const std::vector<Outcome>& outcomes, bool unknown) {
  std::vector<double> v;
  for (const auto& o : outcomes) {
    if (unknown ? (o.known || (!o.shared.empty() && o.verified.name == o.shared))
                : (!o.known || o.verified.name != o.truth))
      continue;
    v.push_back(std::max(KIVOMatcher::acceptance(o.verification), -1.0));
  }
  return v;
}

// Peaks over a threshold: the unknown excerpts' statistics above their 90th percentile, modelled
// as exponential. Returns the expected share of unknown queries whose statistic reaches limit.
double tailRate(std::vector<double> unknown, double limit) {
  if (unknown.size() < 20) return NAN;
  std::sort(unknown.begin(), unknown.end());
  const size_t k = unknown.size() / 10;
  const double u = unknown[unknown.size() - k - 1];
  double mean = 0;
  for (size_t i = unknown.size() - k; i < unknown.size(); ++i) mean += unknown[i] - u;
  mean /= double(k);
  if (limit <= u || mean <= 0) return double(std::count_if(unknown.begin(), unknown.end(), [&](double x) { return x >= limit; })) / double(unknown.size());
  return double(k) / double(unknown.size()) * std::exp(-(limit - u) / mean);
}

// The limit chosen on some excerpts: head-room of a quarter of the highest unknown statistic's
// distance from the tail's threshold above it, and at least the limit where the tail model
// expects one false accept in 10,000 queries.
double calibrate(const std::vector<Outcome>& outcomes) {
  std::vector<double> unknown = statistics(outcomes, true);
  if (unknown.empty()) return 0;
  const double highest = *std::max_element(unknown.begin(), unknown.end());
  double limit = highest + 0.5;
  while (tailRate(unknown, limit) > 1e-4 && limit < 100) limit += 0.05;
  return limit;
}

std::string statisticQuantiles(const std::vector<double>& v) {
  if (v.empty()) return "-";
  std::vector<double> sorted = v;
  std::sort(sorted.begin(), sorted.end());
  auto q = [&](double p) { return sorted[size_t(p * double(sorted.size() - 1))]; };
  char text[96];
  std::snprintf(text, sizeof text, "%6.2f %6.2f %6.2f %6.2f %6.2f", q(0.1), q(0.5), q(0.9), q(0.99), sorted.back());
  return text;
}

// Draws the plot with gnuplot; false (after saying why) when FILE was not made.
bool plot(const std::string& file, const std::vector<Outcome>& all, const std::vector<double>& limits) {
  const fs::path dir = fs::temp_directory_path() / ("kivo-eval-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  auto histogram = [](const std::vector<double>& v, const fs::path& path) {
    std::map<int, size_t> bins;  // quarters of a unit
    for (double s : v) ++bins[int(std::floor(std::clamp(s, -1.0, 20.0) * 4))];
    std::ofstream out(path);
    for (int b = -4; b <= 80; ++b) out << (b + 0.5) / 4 << " " << (bins.count(b) ? bins[b] : 0) << "\n";
  };
  histogram(statistics(all, false), dir / "right.dat");
  histogram(statistics(all, true), dir / "unknown.dat");
  {
    std::ofstream out(dir / "limit.dat");
    for (double l : limits) {
      const Rates r = rates(all, Rule::verified, l);
      out << l << " " << r.right << " " << r.falseAccept << "\n";
    }
  }
  std::ofstream script(dir / "plot.gp");
  script << "set terminal svg size 900,900 dynamic background '#ffffff'\n"
         << "set output '" << file << "'\n"
         << "set multiplot layout 2,1\n"
         << "set title 'Verification statistic (all distortions)'\n"
         << "set xlabel 'acceptance: the statistic, doubled where both windows agree with a score <= 22'\nset ylabel 'excerpts'\nset style fill solid 0.5\n"
         << "set logscale y\nset yrange [0.5:*]\n"
         << "plot '" << (dir / "right.dat").string() << "' with boxes title 'right media (known audio)', '"
         << (dir / "unknown.dat").string() << "' with boxes title 'unknown audio'\n"
         << "unset logscale y\nset yrange [*:*]\n"
         << "set title 'Right answers and false accepts against the acceptance limit'\n"
         << "set xlabel 'acceptance limit'\nset ylabel 'right answers, percent'\nset y2label 'false accepts, percent'\n"
         << "set y2tics\nset ytics nomirror\nset key right top\n"
         << "plot '" << (dir / "limit.dat").string() << "' using 1:2 with lines lw 2 title 'right answers (known audio)', '"
         << (dir / "limit.dat").string() << "' using 1:3 axes x1y2 with lines lw 2 title 'false accepts (unknown audio, right axis)'\n"
         << "unset multiplot\n";
  script.close();
  const std::string command = "gnuplot '" + (dir / "plot.gp").string() + "'";
  const bool drawn = std::system(command.c_str()) == 0;
  fs::remove_all(dir);
  std::error_code error;
  if (!drawn || fs::file_size(file, error) == 0 || error) {
    std::fprintf(stderr, "kivo eval: %s: gnuplot did not draw the plot (is it installed?)\n", file.c_str());
    return false;
  }
  return true;
}

// One line per outcome, for analysis elsewhere.
bool writeTable(const std::string& file, const std::vector<std::pair<std::string, Outcome>>& rows) {
  std::ofstream out(file);
  out << "distortion\tknown\ttruth\ttruth_ms\tverified\tverified_ms\tscore\trunner_up\tspread\tstatistic\tmedia\t"
         "agreed\tagreed_ms\tagreed_score\trepeat\tshared\tmean\toffsets\tacceptance\n";
  for (const auto& [d, o] : rows) {
    const auto& v = o.verification;
    out << d << '\t' << o.known << '\t' << o.truth << '\t' << o.truthPosition << '\t' << o.verified.name << '\t'
        << o.verified.position << '\t' << v.score << '\t' << v.runnerUp << '\t' << v.spread << '\t' << v.statistic
        << '\t' << v.media << '\t' << o.agreed.name << '\t' << o.agreed.position << '\t' << o.agreed.score << '\t'
        << o.repeat << '\t' << o.shared << '\t' << v.mean << '\t' << v.offsets << '\t' << KIVOMatcher::acceptance(v)
        << '\n';
  }
  return bool(out);
}

// Why FILE cannot be created, or nothing when its folder exists and may be written.
std::optional<std::string> unwritable(const std::string& file) {
  const fs::path parent = fs::path(file).parent_path();
  if (::access(parent.empty() ? "." : parent.c_str(), W_OK) != 0) return std::strerror(errno);
  if (fs::is_directory(file)) return "is a folder";
  return std::nullopt;
}

}  // namespace

int runEval(std::span<char*> args) {
  Options o;
  try {
    for (auto* a : args)
      if (std::string(a) == "--help" || std::string(a) == "-h") {
        std::fputs(kHelp, stdout);
        return 0;
      }
    if (!parse(args, o)) {
      std::fputs(kHelp, stderr);
      return 2;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kivo eval: %s\n", e.what());
    return 2;
  }
  if (!fs::is_directory(o.folder)) {
    std::fprintf(stderr, "kivo eval: %s is not a folder\n", o.folder.c_str());
    return 1;
  }
  if (const auto reason = o.plot.empty() ? std::nullopt : unwritable(o.plot)) {
    std::fprintf(stderr, "kivo eval: --plot: cannot write %s: %s\n", o.plot.c_str(), reason->c_str());
    return 2;
  }
  auto tracks = loadTracks(o.folder);
  if (tracks.size() < 2) {
    std::fprintf(stderr, "kivo eval: need at least two audio files of 7 seconds or more under %s\n", o.folder.c_str());
    return 1;
  }
  std::mt19937 rng(o.seed);
  std::shuffle(tracks.begin(), tracks.end(), rng);
  const size_t references = o.references > 0 ? std::min(size_t(o.references), tracks.size() - 1)
                                             : std::max<size_t>(1, tracks.size() * 2 / 3);
  double hours = 0;
  for (size_t i = 0; i < references; ++i) hours += double(tracks[i].samples.size()) / 16000 / 3600;
  std::printf("%zu tracks: %zu references (%.2f h), %zu held out; %zu + %zu excerpts per distortion, seed %u\n\n",
              tracks.size(), references, hours, tracks.size() - references, o.excerpts, o.unknown, o.seed);
  std::fprintf(stderr, "kivo eval: fingerprinting %zu references\n", references);
  const auto matcher = referenceMatcher(tracks, references);

  // The same excerpts for every distortion.
  std::vector<Excerpt> excerpts;
  auto draw = [&](size_t from, size_t to, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      const int t = int(from + rng() % (to - from));
      excerpts.push_back({t, rng() % (tracks[size_t(t)].samples.size() - kBlockSamples), {}});
    }
  };
  draw(0, references, o.excerpts);
  draw(references, tracks.size(), o.unknown);
  // Held-out tracks may hold a reference's music (one recording in two tracks, or two versions of
  // one piece on the same timeline): such excerpts are known audio to a listener; answers naming
  // that reference are counted apart from false accepts.
  std::map<int, std::string> versions;
  {
    std::vector<std::vector<uint64_t>> words(tracks.size());
    for (size_t i = 0; i < tracks.size(); ++i) {
      const auto& t = tracks[i].samples;
      if (auto afp = AFPFromSample(t.data(), int32_t(std::min<size_t>(t.size() * 2, INT32_MAX - 1)))) {
        words[i].resize(afp->size() / 8);
        std::memcpy(words[i].data(), afp->data(), words[i].size() * 8);
      }
    }
    for (size_t h = references; h < tracks.size(); ++h)
      for (size_t r = 0; r < references; ++r) {
        const size_t n = std::min(words[h].size(), words[r].size()) & ~size_t(1);
        if (n < 2) continue;
        const double score = double(block_score(words[h].data(), words[r].data(), int(n)) / (n / 2)) * 0x1p-24;
        if (score <= kVersionScore) {
          versions[int(h)] = tracks[r].name;
          std::printf("%s is a version of the reference %s (%.1f per step on the same timeline)\n",
                      tracks[h].name.c_str(), tracks[r].name.c_str(), score);
        }
      }
  }
  for (auto& e : excerpts) {
    if (size_t(e.track) < references) continue;
    if (versions.count(e.track)) {
      e.shared = versions[e.track];
      continue;
    }
    const auto afp = AFPFromSample(tracks[size_t(e.track)].samples.data() + e.offset, int32_t(kBlockSamples * 2));
    const auto found = afp ? matcher->matchAFP(afp).value_or(KIVOMatcher::Results{}) : KIVOMatcher::Results{};
    if (!found.empty() && found.front().score() <= kSharedScore) e.shared = found.front().name();
  }
  const size_t sharedCount = size_t(std::count_if(excerpts.begin(), excerpts.end(), [](auto& e) { return !e.shared.empty(); }));
  std::printf("%zu of %zu held-out excerpts are a reference's music (a version of it, or a clean block scoring <= %.0f\n"
              "there): answers naming that reference are not counted as false accepts.\n\n",
              sharedCount, o.unknown, kSharedScore);

  const std::string scratch = fs::temp_directory_path().string();
  std::vector<Distortion> distortions;
  for (auto& d : standardDistortions(scratch))
    if (o.only.empty() || std::any_of(o.only.begin(), o.only.end(), [&](auto& s) { return d.name.find(s) != std::string::npos; }))
      distortions.push_back(std::move(d));

  const double limit = KIVOMatcher::kDefaultAcceptanceLimit;
  std::printf("Right: right media; pos: right media within 62.5 ms; FA: answers for held-out audio (all %%),\n"
              "except answers naming a reference that holds the same recording (shared, counted apart).\n");
  std::printf("Literal: same media in both windows. Score: where the first window predicts, score <= %.0f.\n",
              kWindowScoreLimit);
  std::printf("Verified: block verification, acceptance >= %.2f; rep: right media at a repeat of the passage.\n\n", limit);
  std::printf("%-16s | %-17s | %-17s | %-23s | %s\n", "distortion", "literal right/pos/FA", "score right/pos/FA",
              "verified right/pos/FA/rep", "acceptance of right answers p10/50/90/99/max");
  std::vector<Outcome> all;
  std::vector<std::pair<std::string, Outcome>> rows;
  for (size_t i = 0; i < distortions.size(); ++i) {
    auto outcomes = runDistortion(matcher, tracks, references, excerpts, distortions[i], o.seed + uint32_t(i));
    const Rates lit = rates(outcomes, Rule::literal, 0), sco = rates(outcomes, Rule::scoreLimit, kWindowScoreLimit),
                ver = rates(outcomes, Rule::verified, limit);
    std::printf("%-16s | %5.1f %5.1f %5.1f | %5.1f %5.1f %5.1f | %5.1f %5.1f %5.1f %5.1f | %s\n",
                distortions[i].name.c_str(), lit.right, lit.position, lit.falseAccept, sco.right, sco.position,
                sco.falseAccept, ver.right, ver.position, ver.falseAccept, ver.repeats,
                statisticQuantiles(statistics(outcomes, false)).c_str());
    std::fflush(stdout);
    for (const auto& oc : outcomes) rows.emplace_back(distortions[i].name, oc);
    all.insert(all.end(), outcomes.begin(), outcomes.end());
  }

  std::printf("\nRight answers (right positions) per distortion at other limits, in percent:\n%-16s", "distortion");
  const double others[] = {3.0, 3.5, 4.0, 4.5, 5.0, 5.5, 6.0};
  for (double l : others) std::printf(" | %-11.2f", l);
  std::printf("\n");
  for (const auto& d : distortions) {
    std::vector<Outcome> of;
    for (const auto& [name, oc] : rows)
      if (name == d.name) of.push_back(oc);
    std::printf("%-16s", d.name.c_str());
    for (double l : others) {
      const Rates r = rates(of, Rule::verified, l);
      std::printf(" | %5.1f %5.1f", r.right, r.position);
    }
    std::printf("\n");
  }

  std::printf("\nAcceptance p10/50/90/99/max: right answers %s; unknown audio %s\n",
              statisticQuantiles(statistics(all, false)).c_str(), statisticQuantiles(statistics(all, true)).c_str());

  std::vector<double> limits;
  for (double l = 0; l <= 8.01; l += 0.25) limits.push_back(l);
  std::printf("\nAcceptance limit (verification, all distortions pooled):\n");
  std::printf("%6s | %7s %7s | %s\n", "limit", "right", "FA %", "FA n");
  for (double l : limits) {
    const Rates r = rates(all, Rule::verified, l);
    std::printf("%6.2f | %7.2f %7.3f | %zu of %zu (shared %zu)\n", l, r.right, r.falseAccept, r.accepted, r.unknown,
                r.sharedAccepts);
  }

  // Calibration: a limit chosen on the excerpts of even-numbered tracks, reported on the others,
  // and the reverse.
  std::printf("\nCalibration on one half of the tracks, reported on the other:\n");
  for (int half = 0; half < 2; ++half) {
    std::vector<Outcome> tune, test;
    for (const auto& oc : all) (oc.track % 2 == half ? tune : test).push_back(oc);
    const double chosen = calibrate(tune);
    const auto tuneUnknown = statistics(tune, true);
    const double highest = tuneUnknown.empty() ? 0.0 : *std::max_element(tuneUnknown.begin(), tuneUnknown.end());
    const Rates r = rates(test, Rule::verified, chosen);
    std::printf("  tuned on %s tracks: limit %.2f (highest unknown there %.2f); other half: right %.2f %%, "
                "false accepts %zu of %zu, tail model %.1e per query\n",
                half ? "odd" : "even", chosen, highest, r.right, r.accepted, r.unknown,
                tailRate(statistics(test, true), chosen));
  }
  const auto unknownAll = statistics(all, true);
  std::printf("  default limit %.2f: tail model over all unknown excerpts %.1e false accepts per query\n", limit,
              tailRate(unknownAll, limit));

  // Which held-out tracks were taken for which references: shared material shows here.
  std::map<std::tuple<std::string, std::string, bool>, size_t> pairs;
  for (const auto& oc : all)
    if (!oc.known && given(oc, Rule::verified, limit))
      ++pairs[{oc.truth, oc.verified.name, !oc.shared.empty() && oc.shared == oc.verified.name}];
  if (!pairs.empty()) {
    std::printf("\nAnswers for held-out audio by track and the reference named (limit %.2f):\n", limit);
    for (const auto& [pair, n] : pairs)
      std::printf("  %s -> %s: %zu%s\n", std::get<0>(pair).c_str(), std::get<1>(pair).c_str(), n,
                  std::get<2>(pair) ? " (shared recording)" : "");
  }
  if (!o.table.empty() && !writeTable(o.table, rows)) {
    std::fprintf(stderr, "kivo eval: --table: cannot write %s\n", o.table.c_str());
    return 1;
  }
  if (!o.plot.empty() && !plot(o.plot, all, limits)) return 1;
  return 0;
}

}  // namespace kivo::tool
