#include "fingerprint/fixtures.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kivo::test {
namespace {

std::string dataPath(const std::string& name) { return std::string(KIVO_TEST_DATA_DIR) + "/fingerprint/" + name; }

template <class T>
std::vector<T> readRaw(const std::string& name) {
  std::ifstream in(dataPath(name), std::ios::binary);
  if (!in) throw std::runtime_error("missing test data " + name);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<T> values(bytes.size() / sizeof(T));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(T));
  return values;
}

}  // namespace

std::vector<int16_t> readPcm(const std::string& name) { return readRaw<int16_t>(name); }
std::vector<uint64_t> readAfp(const std::string& name) { return readRaw<uint64_t>(name); }

std::array<ReferenceBand, 64> readReferenceFilters() {
  std::ifstream in(dataPath("filterbank-16k.txt"));
  if (!in) throw std::runtime_error("missing filterbank-16k.txt");
  std::array<ReferenceBand, 64> bands;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("#   band", 0) == 0) {
      unsigned band = 0, stage = 0;
      char k[5][64];
      if (std::sscanf(line.c_str(), "#   band %u stage %u a1 %63s a2 %63s b0 %63s b1 %63s b2 %63s", &band, &stage, k[0],
                      k[1], k[2], k[3], k[4]) != 7)
        throw std::runtime_error("bad stage line: " + line);
      auto& cascade = bands.at(band).cascade;
      cascade.stages.at(stage) = {std::strtod(k[0], nullptr), std::strtod(k[1], nullptr), std::strtod(k[2], nullptr),
                                  std::strtod(k[3], nullptr), std::strtod(k[4], nullptr)};
      cascade.count = std::max<size_t>(cascade.count, stage + 1);
    } else if (!line.empty() && line[0] != '#') {
      std::istringstream fields(line);
      unsigned band = 0, stages = 0;
      ReferenceBand row;
      fields >> band >> row.kind >> stages >> row.centre >> row.width;
      bands.at(band) = row;
    }
  }
  return bands;
}

std::vector<float> toFloats(const std::vector<int16_t>& pcm) {
  std::vector<float> out(pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) out[i] = float(double(pcm[i]) * 0x1p-15);
  return out;
}

}  // namespace kivo::test
