#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>
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

// Ctrl-C (SIGINT) and SIGTERM are taken by a thread of their own
// (sigtimedwait), so that cancelling never runs core code inside a signal
// handler. blockSignals() must run before any other thread starts, so that
// every thread inherits the mask and the signals wait for the watcher.
class InterruptWatcher {
 public:
  explicit InterruptWatcher(std::function<void()> onInterrupt);
  ~InterruptWatcher();
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  static void blockSignals();
  bool interrupted() const { return interrupted_; }

 private:
  void run();

  std::function<void()> onInterrupt_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> interrupted_{false};
  std::thread thread_;
};

}  // namespace cli
