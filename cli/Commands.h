#pragma once

#include <string>
#include <vector>

// One subcommand of velorin-update. run() gets the arguments after the
// subcommand's name and returns the process exit code.
struct CliCommand {
  const char* name;
  const char* summary;
  int (*run)(const std::vector<std::string>& args);
};

// Exit codes shared by every subcommand.
enum CliExit : int {
  ExitOk = 0,
  ExitFailure = 1,
  ExitUsage = 64,
};

int runCatalogue(const std::vector<std::string>& args);
int runConsole(const std::vector<std::string>& args);
int runList(const std::vector<std::string>& args);
int runInstall(const std::vector<std::string>& args);
