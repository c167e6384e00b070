#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Commands.h"

namespace {

const CliCommand kCommands[] = {
    {"catalogue", "print the known pedal types with their fid/pid codes", runCatalogue},
    {"list", "list the pedals present on the MIDI ports", runList},
    {"console", "raw SysEx console: send messages to a MIDI port, print replies", runConsole},
    {"install", "install firmware files into a connected pedal", runInstall},
};

void printUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: velorin-update COMMAND [OPTIONS]\n"
               "Firmware updater for Velorin MIDI pedals.\n\nCommands:\n");
  for (const auto& c : kCommands) std::fprintf(out, "  %-12s %s\n", c.name, c.summary);
  std::fprintf(out, "\nRun 'velorin-update COMMAND --help' for a command's options.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    printUsage(argc < 2 ? stderr : stdout);
    return argc < 2 ? ExitUsage : ExitOk;
  }
  const std::vector<std::string> rest(argv + 2, argv + argc);
  for (const auto& c : kCommands) {
    if (std::strcmp(argv[1], c.name) == 0) return c.run(rest);
  }
  std::fprintf(stderr, "velorin-update: unknown command '%s'\n\n", argv[1]);
  printUsage(stderr);
  return ExitUsage;
}
