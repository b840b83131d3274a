// kivo: the command-line face of the library.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "tools/command.h"

namespace {

void printHelp(std::FILE* out) {
  std::fprintf(out,
               "usage: kivo COMMAND [ARGS...]\n"
               "\n"
               "Audio content recognition: fingerprints audio and recognises it against reference packs.\n"
               "\n"
               "Commands:\n");
  for (const auto& command : kivo::tool::commands())
    std::fprintf(out, "  %-14.*s %.*s\n", int(command.name.size()), command.name.data(), int(command.summary.size()),
                 command.summary.data());
  std::fprintf(out, "\nRun 'kivo COMMAND --help' for a command's options.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    printHelp(stderr);
    return 2;
  }
  std::string_view name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    printHelp(stdout);
    return 0;
  }
  for (const auto& command : kivo::tool::commands())
    if (command.name == name) return command.run({argv + 2, size_t(argc - 2)});
  std::fprintf(stderr, "kivo: unknown command '%s' (see 'kivo --help')\n", argv[1]);
  return 2;
}
