// Entry points of the kivo tool's subcommands, one source file each.
#pragma once

#include <span>

namespace kivo::tool {

int runFingerprint(std::span<char*> args);
int runEval(std::span<char*> args);
int runPack(std::span<char*> args);
int runPackBuild(std::span<char*> args);
int runMatch(std::span<char*> args);
int runRecord(std::span<char*> args);
int runListen(std::span<char*> args);
int runDevices(std::span<char*> args);

}  // namespace kivo::tool
