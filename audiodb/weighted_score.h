// The verification's score of n words (kivo/media_scores.h), on each instruction set this
// processor runs. A function may stop once the score passes limit and return a score above it.
#pragma once

#include <cstdint>
#include <vector>

namespace kivo::weighted {

// REQUIRES: n even and >= 0; query and reference hold n words.
using Fn = int64_t (*)(const uint64_t* query, const uint64_t* reference, int n, int64_t limit);

// Every implementation this processor runs, fastest first (the portable one last).
const std::vector<Fn>& available();

}  // namespace kivo::weighted
