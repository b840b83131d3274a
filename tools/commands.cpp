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
    Command{"eval", "measure recognition on a folder of music under distortions", runEval},
    Command{"pack", "build, list or verify an audio pack file", runPack},
    Command{"match", "recognise recordings against packs", runMatch},
    Command{"listen", "recognise the microphone or a recording through the whole pipeline", runListen},
    Command{"record", "record the microphone to a WAV file, with a level meter", runRecord},
    Command{"devices", "list the capture devices", runDevices},
    Command{"version", "print the library version", runVersion},
};

}  // namespace

std::span<const Command> commands() { return kCommands; }

}  // namespace kivo::tool
