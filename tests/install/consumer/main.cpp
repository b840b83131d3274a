// Fingerprints a generated tone through the installed library.
#include <kivo/afp_generator.h>
#include <kivo/log.h>

#include <cmath>
#include <cstdio>
#include <vector>

int main() {
  std::vector<int16_t> pcm(34000);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = int16_t(10000 * std::sin(0.3 * double(i)) + (i * 7919 % 200));
  const auto afp = kivo::AFPFromSample(pcm.data(), int32_t(pcm.size() * 2));
  kivo::logLine("consumer ran");
  if (!afp || afp->size() != 384) return 1;
  std::printf("ok %zu\n", afp->size());
  return 0;
}
