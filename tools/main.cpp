// kivo: the command-line face of the library.
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "tools/command.h"
#include "tools/library_log.h"

namespace {

void printHelp(std::FILE* out) {
  std::fprintf(out,
               "usage: kivo [--verbose] COMMAND [ARGS...]\n"
               "\n"
               "Audio content recognition: fingerprints audio and recognises it against reference packs.\n"
               "\n"
               "Commands:\n");
  for (const auto& command : kivo::tool::commands())
    std::fprintf(out, "  %-14.*s %.*s\n", int(command.name.size()), command.name.data(), int(command.summary.size()),
                 command.summary.data());
  std::fprintf(out,
               "\n"
               "A failure is told in one line per file on stderr. --verbose (anywhere on the line) also prints\n"
               "the library's own log lines, as \"kivo: library: LINE\".\n"
               "\n"
               "Run 'kivo COMMAND --help' for a command's options.\n");
}

}  // namespace

int main(int argc, char** argv) {
  // Progress lines show as they are written, also through a pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<char*> args;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--verbose") == 0) kivo::tool::setVerbose(true);
    else args.push_back(argv[i]);
  }
  if (args.empty()) {
    printHelp(stderr);
    return 2;
  }
  std::string_view name = args[0];
  if (name == "--help" || name == "-h" || name == "help") {
    printHelp(stdout);
    return 0;
  }
  for (const auto& command : kivo::tool::commands())
    if (command.name == name) return command.run({args.data() + 1, args.size() - 1});
  std::fprintf(stderr, "kivo: unknown command '%s' (see 'kivo --help')\n", args[0]);
  return 2;
}
