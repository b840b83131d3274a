// A host that defines its own match(), links zlib after the library, and uses both: each caller
// reaches its own function, the library's search included.
#include <kivo/afp_generator.h>
#include <kivo/audio_pack.h>
#include <kivo/kivo_matcher.h>

#include <cmath>
#include <cstdio>
#include <vector>

extern "C" int hostMatch(int x);
extern "C" unsigned long zlibAdler32(const char* text, unsigned length);

int main() {
  int failures = 0;
  auto check = [&](bool ok, const char* what) {
    if (!ok) std::fprintf(stderr, "host_names: %s\n", what);
    failures += !ok;
  };
  check(hostMatch(21) == 42, "the host's match() was not its own");
  check(zlibAdler32("abc", 3) == 0x024d0127, "zlib's adler32 was not zlib's");
  check(adler32("abc", 3) == 0x024d0127, "the library's adler32 was not the library's");

  // Ten seconds of a tone gliding in pitch, then 4.25 s of it as the query.
  std::vector<int16_t> pcm(160000);
  for (size_t i = 0; i < pcm.size(); ++i) {
    const double t = double(i) / 16000;
    pcm[i] = int16_t(8000 * std::sin(2 * 3.14159265 * (300 + 40 * t) * t) + int(i * 7919 % 400) - 200);
  }
  const auto reference = kivo::AFPFromSample(pcm.data(), int32_t(pcm.size() * 2));
  const auto query = kivo::AFPFromSample(pcm.data() + 32000, 68000);
  auto matcher = kivo::KIVOMatcher::create();
  matcher->beginAdd();
  matcher->audioPackRetrieveAFPData({"glide", 0, reference.value_or(kivo::Bytes{})});
  matcher->audioPackFinishLoadWithMetaData({{"media", {{"glide", {{"type", "cf"}}}}}});
  matcher->finishAdd();
  const auto results = matcher->matchAFP(query);
  check(results && !results->empty() && results->front().name() == "glide", "the library's search found nothing");
  if (failures) return 1;
  std::printf("ok names\n");
  return 0;
}
