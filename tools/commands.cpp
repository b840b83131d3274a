#include <array>
#include <cstdio>

#include "tools/command.h"
#include "tools/subcommands.h"

namespace kivo::tool {
namespace {

int runVersion(std::span<char*>) {
  std::printf("kivo %s\n", KIVO_VERSION);
  return 0;
}

constexpr std::array kCommands{
    Command{"fingerprint", "compute the AFP of audio files", runFingerprint},
    Command{"version", "print the library version", runVersion},
};

}  // namespace

std::span<const Command> commands() { return kCommands; }

}  // namespace kivo::tool
