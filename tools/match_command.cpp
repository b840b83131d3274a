// kivo match: recognise recordings against reference packs, block by block.
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "kivo/dispatch.h"
#include "kivo/format.h"
#include "kivo/kivo_matcher.h"
#include "tools/arguments.h"
#include "tools/audio_decode.h"
#include "tools/library_log.h"
#include "tools/subcommands.h"

namespace kivo::tool {
namespace {

constexpr const char* kHelp =
    "usage: kivo match --pack P.pack [--pack ...] [--json] [--limit L] QUERY...\n"
    "\n"
    "Loads the packs (pack files, the form 'kivo pack build' writes and the library loads), then slides\n"
    "consecutive 3.25-second blocks (104,000 bytes at 16 kHz, as the recorder delivers them) over each\n"
    "query recording and prints, per block, the media the whole block verifies, the position in the\n"
    "reference (of the block's second window, 1.125 s into the block), the score (average weighted bit\n"
    "difference per step, 0 is perfect) and the reference's duration, or that nothing matched.\n"
    "\n"
    "  --json     JSON Lines: one JSON object per line, one line per block, instead of text; bytes of\n"
    "             file names that are not UTF-8 are replaced by U+FFFD\n"
    "  --limit L  acceptance limit: blocks whose verification statistic (how far the best media stands\n"
    "             above the best other media and above chance, in spreads of the block's scores; doubled\n"
    "             where both windows agree with a score of at most 22) is below L are not answered\n"
    "             (default 4.5)\n"
    "\n"
    "Exit status: 0 when every pack loaded and every query was read, 1 otherwise, 2 on wrong usage.\n";

constexpr size_t kBlockBytes = 104000;

struct Block {
  std::string file;
  size_t index;
  double start;
  std::optional<KIVOMatchResult> result;
};

void print(const Block& b, bool json) {
  const double end = b.start + double(kBlockBytes) / 32000;
  if (json) {
    nlohmann::json line = {{"file", b.file}, {"block", b.index}, {"start", b.start}, {"end", end}};
    if (b.result) {
      line["media"] = b.result->name();
      line["title"] = b.result->metadata().value("title", nlohmann::json());
      line["position"] = double(b.result->position()) / 1000;
      line["score"] = b.result->score();
      line["duration"] = b.result->duration();
    } else {
      line["media"] = nullptr;
    }
    // File names are bytes: any that are not UTF-8 are replaced by U+FFFD.
    std::printf("%s\n", line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return;
  }
  if (!b.result) {
    std::printf("%s [%7.2f - %7.2f s]: no match\n", b.file.c_str(), b.start, end);
    return;
  }
  const auto title = b.result->metadata().value("title", nlohmann::json(b.result->name()));
  std::printf("%s", format("%@ [%7.2f - %7.2f s]: %@ (%@) at %.3f s of %.1f s, score %.2f\n", b.file, b.start, end,
                           title, b.result->name(), double(b.result->position()) / 1000, b.result->duration(),
                           b.result->score())
                        .c_str());
}

}  // namespace

int runMatch(std::span<char*> args) {
  std::vector<std::string> packs, queries;
  bool json = false;
  double limit = KIVOMatcher::kDefaultAcceptanceLimit;
  try {
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string a = args[i];
      if (a == "-h" || a == "--help") {
        std::fputs(kHelp, stdout);
        return 0;
      }
      if (a == "--json") {
        json = true;
      } else if ((a == "--pack" || a == "--limit") && i + 1 < args.size()) {
        if (a == "--pack") packs.push_back(args[++i]);
        else limit = numberArgument("--limit", args[++i]);
      } else if (!a.empty() && a[0] == '-') {
        std::fprintf(stderr, "kivo match: unknown or incomplete option %s (see --help)\n", a.c_str());
        return 2;
      } else {
        queries.push_back(a);
      }
    }
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "kivo match: %s\n", e.what());
    return 2;
  }
  if (packs.empty() || queries.empty()) {
    std::fputs(kHelp, stderr);
    return 2;
  }

  auto matcher = KIVOMatcher::create();
  matcher->setAcceptanceLimit(limit);
  bool ok = true;
  {
    LibraryLog log;
    matcher->beginAdd();
    for (const auto& pack : packs) {
      const bool loaded = matcher->addAudioPackWithPath(pack);
      const auto lines = log.take();
      if (!loaded)
        std::fprintf(stderr, "kivo match: %s: not a readable pack file: %s (see 'kivo pack verify')\n", pack.c_str(),
                     packFailureReason(lines).c_str());
      ok = ok && loaded;
    }
    matcher->finishAdd();
  }
  if (!ok) return 1;
  if (matcher->count() == 0) std::fputs("kivo match: the packs hold no media\n", stderr);

  std::vector<Block> blocks;
  std::vector<Bytes> pcm;
  for (const auto& query : queries) {
    auto decoded = decodeAudioFile(query);
    if (auto* reason = std::get_if<std::string>(&decoded)) {
      std::fprintf(stderr, "kivo match: %s: %s\n", query.c_str(), reason->c_str());
      ok = false;
      continue;
    }
    const auto& samples = std::get<DecodedAudio>(decoded).samples;
    const size_t bytes = samples.size() * 2;
    if (bytes < kBlockBytes) std::fprintf(stderr, "kivo match: %s: shorter than one 3.25-second block\n", query.c_str());
    for (size_t from = 0; from + kBlockBytes <= bytes; from += kBlockBytes) {
      Bytes block(kBlockBytes);
      std::memcpy(block.data(), reinterpret_cast<const uint8_t*>(samples.data()) + from, kBlockBytes);
      pcm.push_back(std::move(block));
      blocks.push_back({query, blocks.size(), double(from) / 32000, std::nullopt});
    }
  }
  // All blocks go in at once; the answers arrive on the main queue, printed in block order.
  size_t answered = 0;
  for (size_t i = 0; i < blocks.size(); ++i)
    matcher->matchDoublePCM(std::move(pcm[i]), [&, i](std::optional<KIVOMatchResult> r) {
      blocks[i].result = std::move(r);
      if (++answered == blocks.size()) dispatch::MainQueue::stop();
    });
  if (!blocks.empty()) dispatch::MainQueue::run();
  size_t index = 0;
  std::string file;
  for (auto& b : blocks) {
    if (b.file != file) index = 0, file = b.file;
    b.index = index++;
    print(b, json);
  }
  return ok ? 0 : 1;
}

}  // namespace kivo::tool
