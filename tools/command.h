// A subcommand of the kivo tool: its name, a one-line summary and its entry point.
#pragma once

#include <span>
#include <string_view>

namespace kivo::tool {

struct Command {
  std::string_view name;
  std::string_view summary;
  // Receives the arguments after the subcommand name; returns the process exit status.
  int (*run)(std::span<char*> args);
};

// The subcommands, in the order --help lists them.
std::span<const Command> commands();

}  // namespace kivo::tool
