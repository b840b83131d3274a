// kivo eval: how well local recognition works on a folder of music, under distortions.
//
// Some tracks become the reference set (an in-memory pack), the others are held out. Random
// 3.25-second excerpts of both are distorted and matched with matchDoublePCM; the report gives,
// per distortion, right answers, right positions and false accepts for the literal agreement rule
// (same media in both windows) and for the mended one (same media where the first window predicts,
// score within the acceptance limit), the score distributions, and what each acceptance limit and
// each cutoff would give.
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
#include <random>
#include <string>
#include <vector>

#include "kivo/afp_generator.h"
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
    "positions (within 62.5 ms) and false accepts on held-out audio, for the literal and the mended\n"
    "agreement rules, the score distributions, and the effect of the acceptance limit and the cutoff.\n"
    "\n"
    "  --references N   tracks in the reference set (default: two thirds of the tracks)\n"
    "  --excerpts N     excerpts of reference tracks per distortion (default 500)\n"
    "  --unknown N      excerpts of held-out tracks per distortion (default 100)\n"
    "  --seed S         random seed (default 1)\n"
    "  --only NAME      run only the distortions whose name contains NAME (repeatable)\n"
    "  --plot FILE.svg  draw the score distributions and the rates against the limit (gnuplot)\n"
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
  std::string plot;
};

struct Track {
  std::string name;
  Samples samples;
};

struct Excerpt {
  int track;  // index into the tracks; reference when < references
  size_t offset;
};

// One answer: the agreed media (empty for none), its position and score.
struct Answer {
  std::string name;
  uint64_t position = 0;
  double score = 0;
  bool found() const { return !name.empty(); }
};

struct Outcome {
  bool known;
  std::string truth;
  uint64_t truthPosition;
  Answer literal, mended;
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
  matcher->setAcceptanceLimit(INFINITY);  // every limit is applied afterwards
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

Answer windowAnswer(const KIVOMatcher& matcher, const Samples& block) {
  auto results = [&](size_t from) {
    auto afp = AFPFromSample(block.data() + from, 68000);
    return afp ? matcher.matchAFP(afp).value_or(KIVOMatcher::Results{}) : KIVOMatcher::Results{};
  };
  return literalAgreement(results(0), results(kSecondWindowSamples));
}

// Runs every excerpt of one distortion through matchDoublePCM on the main queue.
std::vector<Outcome> runDistortion(const std::shared_ptr<KIVOMatcher>& matcher, const std::vector<Track>& tracks,
                                   size_t references, const std::vector<Excerpt>& excerpts, const Distortion& d,
                                   uint32_t seed) {
  std::vector<Outcome> outcomes(excerpts.size());
  std::mt19937 rng(seed);
  size_t next = 0;
  std::function<void()> step = [&] {
    if (next == excerpts.size()) {
      dispatch::MainQueue::stop();
      return;
    }
    const Excerpt& e = excerpts[next];
    const Track& t = tracks[size_t(e.track)];
    const Samples clean(t.samples.begin() + long(e.offset), t.samples.begin() + long(e.offset + kBlockSamples));
    Samples block = d.apply(clean, rng);
    block.resize(kBlockSamples, 0);
    Outcome& out = outcomes[next];
    out.known = size_t(e.track) < references;
    out.truth = t.name;
    out.truthPosition = uint64_t(double(e.offset + kSecondWindowSamples) / 16.0);
    out.literal = windowAnswer(*matcher, block);
    Bytes pcm(block.size() * 2);
    std::memcpy(pcm.data(), block.data(), pcm.size());
    matcher->matchDoublePCM(std::move(pcm), [&](std::optional<KIVOMatchResult> r) {
      if (r) outcomes[next].mended = {r->name(), r->position(), r->score()};
      ++next;
      dispatch::Queue::main().async(step);
    });
  };
  dispatch::Queue::main().async(step);
  dispatch::MainQueue::run();
  return outcomes;
}

struct Rates {
  double right = 0, position = 0, falseAccept = 0;
};

// Shares of right answers and right positions over known excerpts, and of any answer over unknown
// ones, counting only answers with score <= limit (and >= cutoff when a cutoff is given).
Rates rates(const std::vector<Outcome>& outcomes, bool mended, double limit, double cutoff = -INFINITY) {
  size_t known = 0, unknown = 0, right = 0, position = 0, accepted = 0;
  for (const auto& o : outcomes) {
    const Answer& a = mended ? o.mended : o.literal;
    const bool answered = a.found() && a.score <= limit && a.score >= cutoff;
    if (o.known) {
      ++known;
      if (answered && a.name == o.truth) {
        ++right;
        if (std::abs(double(a.position) - double(o.truthPosition)) <= 62.5) ++position;
      }
    } else {
      ++unknown;
      accepted += answered;
    }
  }
  auto share = [](size_t n, size_t of) { return of ? 100.0 * double(n) / double(of) : 0.0; };
  return {share(right, known), share(position, known), share(accepted, unknown)};
}

std::string quantiles(std::vector<double> v) {
  if (v.empty()) return "        -";
  std::sort(v.begin(), v.end());
  auto q = [&](double p) { return v[size_t(p * double(v.size() - 1))]; };
  char text[64];
  std::snprintf(text, sizeof text, "%5.1f %5.1f %5.1f", q(0.1), q(0.5), q(0.9));
  return text;
}

// Scores of right answers and of wrong ones (wrong media, or anything for unknown audio).
void scoreSplit(const std::vector<Outcome>& outcomes, bool mended, std::vector<double>& right,
                std::vector<double>& wrong) {
  for (const auto& o : outcomes) {
    const Answer& a = mended ? o.mended : o.literal;
    if (!a.found()) continue;
    (o.known && a.name == o.truth ? right : wrong).push_back(a.score);
  }
}

// Draws the plot with gnuplot; false (after saying why) when FILE was not made.
bool plot(const std::string& file, const std::vector<Outcome>& all, const std::vector<double>& limits) {
  const fs::path dir = fs::temp_directory_path() / ("kivo-eval-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::vector<double> right, wrong;
  scoreSplit(all, true, right, wrong);
  auto histogram = [](const std::vector<double>& v, const fs::path& path) {
    std::map<int, size_t> bins;
    for (double s : v) ++bins[int(s)];
    std::ofstream out(path);
    for (int b = 0; b <= 64; ++b) out << b + 0.5 << " " << (bins.count(b) ? bins[b] : 0) << "\n";
  };
  histogram(right, dir / "right.dat");
  histogram(wrong, dir / "wrong.dat");
  {
    std::ofstream out(dir / "limit.dat");
    for (double l : limits) {
      const Rates r = rates(all, true, l);
      out << l << " " << r.right << " " << r.falseAccept << "\n";
    }
  }
  std::ofstream script(dir / "plot.gp");
  script << "set terminal svg size 900,900 dynamic background '#ffffff'\n"
         << "set output '" << file << "'\n"
         << "set multiplot layout 2,1\n"
         << "set title 'Scores of agreed answers (mended rule, all distortions)'\n"
         << "set xlabel 'normalised score (lower is better)'\nset ylabel 'answers'\nset style fill solid 0.5\n"
         << "plot '" << (dir / "right.dat").string() << "' with boxes title 'right media', '"
         << (dir / "wrong.dat").string() << "' with boxes title 'wrong media or unknown audio'\n"
         << "set title 'Right answers and false accepts against the acceptance limit'\n"
         << "set xlabel 'acceptance limit'\nset ylabel 'right answers, percent'\nset y2label 'false accepts, percent'\n"
         << "set y2tics\nset ytics nomirror\nset key left top\n"
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
      excerpts.push_back({t, rng() % (tracks[size_t(t)].samples.size() - kBlockSamples)});
    }
  };
  draw(0, references, o.excerpts);
  draw(references, tracks.size(), o.unknown);

  const std::string scratch = fs::temp_directory_path().string();
  std::vector<Distortion> distortions;
  for (auto& d : standardDistortions(scratch))
    if (o.only.empty() || std::any_of(o.only.begin(), o.only.end(), [&](auto& s) { return d.name.find(s) != std::string::npos; }))
      distortions.push_back(std::move(d));

  const double limit = KIVOMatcher::kDefaultAcceptanceLimit;
  std::printf("Right: right media; pos: right media within 62.5 ms; FA: answers for held-out audio (all %%).\n");
  std::printf("Literal: same media in both windows. Mended: at the predicted position, score <= %.0f.\n\n", limit);
  std::printf("%-16s | %-19s | %-19s | %-17s %-17s\n", "distortion", "literal right/pos/FA", "mended right/pos/FA",
              "right p10/50/90", "wrong p10/50/90");
  std::vector<Outcome> all;
  std::map<std::string, std::vector<Outcome>> byDistortion;
  for (size_t i = 0; i < distortions.size(); ++i) {
    auto outcomes = runDistortion(matcher, tracks, references, excerpts, distortions[i], o.seed + uint32_t(i));
    const Rates lit = rates(outcomes, false, INFINITY), men = rates(outcomes, true, limit);
    std::vector<double> right, wrong;
    scoreSplit(outcomes, true, right, wrong);
    std::printf("%-16s | %5.1f %5.1f %5.1f   | %5.1f %5.1f %5.1f   | %s %s\n", distortions[i].name.c_str(), lit.right,
                lit.position, lit.falseAccept, men.right, men.position, men.falseAccept, quantiles(right).c_str(),
                quantiles(wrong).c_str());
    std::fflush(stdout);
    all.insert(all.end(), outcomes.begin(), outcomes.end());
  }

  std::vector<double> limits;
  for (double l = 14; l <= 48; l += l < 30 ? 1 : 2) limits.push_back(l);
  std::printf("\nAcceptance limit (mended rule, all distortions; clean = no distortion):\n");
  std::printf("%6s | %7s %7s | %7s\n", "limit", "right", "FA", "FA n");
  size_t unknownTotal = 0;
  for (const auto& oc : all) unknownTotal += !oc.known;
  for (double l : limits) {
    const Rates r = rates(all, true, l);
    std::printf("%6.0f | %7.2f %7.3f | %7.0f of %zu\n", l, r.right, r.falseAccept, r.falseAccept * double(unknownTotal) / 100,
                unknownTotal);
  }
  std::printf("\nCutoff (literal meaning: answers scoring below it are dropped; mended rule, limit %.0f):\n", limit);
  std::printf("%6s | %7s %7s\n", "cutoff", "right", "FA");
  for (double c : {-25.0, 0.0, 5.0, 10.0, 20.0, 30.0}) {
    const Rates r = rates(all, true, limit, c);
    std::printf("%6.0f | %7.2f %7.3f\n", c, r.right, r.falseAccept);
  }
  // Which held-out tracks were taken for which references: shared material shows here.
  std::map<std::pair<std::string, std::string>, size_t> pairs;
  for (const auto& oc : all)
    if (!oc.known && oc.mended.found() && oc.mended.score <= limit) ++pairs[{oc.truth, oc.mended.name}];
  if (!pairs.empty()) {
    std::printf("\nFalse accepts by held-out track and the reference it was taken for (mended rule, limit %.0f):\n", limit);
    for (const auto& [pair, n] : pairs) std::printf("  %s -> %s: %zu\n", pair.first.c_str(), pair.second.c_str(), n);
  }
  if (!o.plot.empty() && !plot(o.plot, all, limits)) return 1;
  return 0;
}

}  // namespace kivo::tool
