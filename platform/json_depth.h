// The nesting bound on JSON text read from files and answers. Every reader checks text against it
// before parsing, so no document can make the recursive walks over a parsed value (copies, dumps,
// comparisons, decoders) exhaust a thread's stack.
#pragma once

#include <cstddef>
#include <string_view>

namespace kivo {

// Arrays and objects may nest this deep: [] is depth 1, [[]] depth 2.
inline constexpr size_t kMaxJsonDepth = 128;

// True when text's arrays and objects nest at most maxDepth deep; brackets inside strings do not
// count. One pass, no recursion. Text that is not JSON may pass: the parser then refuses it.
bool jsonDepthWithin(std::string_view text, size_t maxDepth = kMaxJsonDepth);

}  // namespace kivo
