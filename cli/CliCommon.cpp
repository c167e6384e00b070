#include "CliCommon.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "Updater/MidiApi.h"
#include "Utils/Trace.h"

namespace cli {

bool configureTrace(std::vector<std::string>& args) {
  Trace::setSink({});
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--verbose" || args[i] == "-v") {
      Trace::setSinkFile(stderr);
    } else if (args[i] == "--log") {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "--log needs a file name\n");
        return false;
      }
      // Kept open for the life of the process; the trace may come from any thread.
      std::FILE* f = std::fopen(args[++i].c_str(), "a");
      if (f == nullptr) {
        std::fprintf(stderr, "cannot open log file '%s'\n", args[i].c_str());
        return false;
      }
      Trace::setSinkFile(f);
    } else {
      rest.push_back(args[i]);
    }
  }
  args = std::move(rest);
  return true;
}

bool checkMidiAvailable(const char* command) {
  const auto choice = Updater::midiApiChoice();
  if (!choice.ok()) {
    std::fprintf(stderr, "velorin-update %s: MIDI cannot be used: %s\n", command, choice.error.c_str());
    return false;
  }
  std::string error;
  if (!Updater::createMidiOut("RtMidi Output Client", &error)) {
    std::fprintf(stderr, "velorin-update %s: MIDI cannot be used: %s\n", command,
                 error.empty() ? "the MIDI service did not answer" : error.c_str());
    return false;
  }
  return true;
}

bool stderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void printLogLine(std::FILE* out, const std::string& line, int kind, bool colour) {
  if (!colour) {
    std::fputs(line.c_str(), out);
    return;
  }
  const char* start = kind == 1 ? "\033[32m" : kind == 2 ? "\033[31m" : "";
  std::fprintf(out, "%s%s%s", start, line.c_str(), *start ? "\033[0m" : "");
}

std::optional<int> parseInt(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < -2147483647L || v > 2147483647L) return std::nullopt;
  return static_cast<int>(v);
}

std::optional<double> parseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return v;
}

namespace {

sigset_t interruptSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

InterruptWatcher::InterruptWatcher(std::function<void()> onInterrupt)
    : onInterrupt_(std::move(onInterrupt)) {
  thread_ = std::thread([this] { run(); });
}

InterruptWatcher::~InterruptWatcher() {
  stop_ = true;
  thread_.join();
}

void InterruptWatcher::blockSignals() {
  const sigset_t set = interruptSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void InterruptWatcher::run() {
  const sigset_t set = interruptSignals();
  const timespec tick{0, 100 * 1000 * 1000};
  while (!stop_) {
    if (sigtimedwait(&set, nullptr, &tick) > 0) {
      interrupted_ = true;
      onInterrupt_();
    }
  }
}

}  // namespace cli
