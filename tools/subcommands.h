// Entry points of the kivo tool's subcommands, one source file each.
#pragma once

#include <span>

namespace kivo::tool {

int runFingerprint(std::span<char*> args);

}  // namespace kivo::tool
