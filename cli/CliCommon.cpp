#include "CliCommon.h"

#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <sstream>
#if defined(__linux__)
#include <dlfcn.h>
#endif

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

namespace {

// libjack writes its complaints (no server, and so on) straight to standard
// error; they belong in the trace. RtMidi brings libjack into the process on
// JACK builds, so its setters are looked up rather than linked.
void routeJackMessagesToTrace() {
#if defined(__linux__)
  using Setter = void (*)(void (*)(const char*));
  for (const char* name : {"jack_set_error_function", "jack_set_info_function"}) {
    if (auto set = reinterpret_cast<Setter>(dlsym(RTLD_DEFAULT, name))) {
      set(+[](const char* text) { Trace::print("[JACK] %s\n", text); });
    }
  }
#endif
}

// Whether the MIDI service answers at all. Some back ends (JACK without a
// server) make their objects anyway and only print a warning, which is caught
// here. (Asking such an object for its ports would try again and leak RtMidi's
// buffers of the first try.) What RtMidi prints goes to the trace.
bool midiServiceAnswers(std::string* why) {
  routeJackMessagesToTrace();
  std::ostringstream captured;
  std::streambuf* previous = std::cerr.rdbuf(captured.rdbuf());
  std::string problem;
  const bool made = Updater::createMidiOut("RtMidi Output Client", &problem) != nullptr;
  std::cerr.rdbuf(previous);
  std::string warning = captured.str();
  if (!warning.empty()) Trace::write(warning);
  while (!warning.empty() && std::isspace(static_cast<unsigned char>(warning.front()))) warning.erase(0, 1);
  while (!warning.empty() && std::isspace(static_cast<unsigned char>(warning.back()))) warning.pop_back();
  if (!made && problem.empty()) problem = "the MIDI service did not answer";
  if (made && !warning.empty()) problem = warning;
  if (why) *why = problem;
  return problem.empty();
}

}  // namespace

bool checkMidiAvailable(const char* command) {
  const auto choice = Updater::midiApiChoice();
  if (!choice.ok()) {
    std::fprintf(stderr, "velorin-update %s: MIDI cannot be used: %s\n", command, choice.error.c_str());
    return false;
  }
  std::string why;
  if (!midiServiceAnswers(&why)) {
    std::fprintf(stderr, "velorin-update %s: MIDI cannot be used: %s\n", command, why.c_str());
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
