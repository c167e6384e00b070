#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// What every subcommand shares: where the core's diagnostic trace goes,
// whether standard error is a terminal (for colour), and small argument
// helpers. Standard output carries only a command's result.
namespace cli {

// --verbose sends the core's trace to standard error, --log FILE to a file;
// otherwise it is dropped. Removes the options it used from args. Returns
// false, with a message on standard error, when the log file cannot be opened.
bool configureTrace(std::vector<std::string>& args);

// Checks that the MIDI back end can be used; prints the reason and returns
// false when it cannot.
bool checkMidiAvailable(const char* command);

bool stderrIsTerminal();

// Log line colours by kind: 0 information, 1 success, 2 problem.
void printLogLine(std::FILE* out, const std::string& line, int kind, bool colour);

std::optional<int> parseInt(const std::string& text);
std::optional<double> parseNumber(const std::string& text);

}  // namespace cli
