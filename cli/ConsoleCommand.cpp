// velorin-update console: the engineering console on the command line.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

#include "CliCommon.h"
#include "Commands.h"
#include "Controllers/Updater/EngineeringViewModel.h"

namespace {

constexpr int kPortSettleMs = 150;  // milliseconds after opening ports, before the first message

const char* kUsage =
    "Usage: velorin-update console [OPTIONS] [MESSAGE...]\n"
    "Raw SysEx console: sends SysEx messages to a MIDI output and prints what\n"
    "arrives on a MIDI input.\n"
    "\n"
    "Messages are hex text, one SysEx message each (\"F0 7E 7F 06 01 F7\" or\n"
    "F07E7F0601F7). They come from the arguments, from --file, or, when neither\n"
    "is given and standard input is not a terminal, from standard input (one\n"
    "message per line, empty lines ignored). A line that is not a SysEx message\n"
    "in hex rejects the whole input and nothing is sent.\n"
    "\n"
    "Options:\n"
    "  --list-ports       list the MIDI input and output ports and exit\n"
    "  --in NAME|INDEX    input port: 1-based index from --list-ports, or a\n"
    "                     text that the port's name contains\n"
    "  --out NAME|INDEX   output port, chosen the same way\n"
    "  --file X.syx       send the messages of a SysEx file\n"
    "  --wait             wait up to 400 ms for a reply after each message\n"
    "                     (needs --in)\n"
    "  --delay MS         pause MS milliseconds after each message\n"
    "  --listen SECONDS   keep printing what arrives on the input for SECONDS\n"
    "                     (after sending, if there is anything to send)\n"
    "  --verbose          the core's diagnostic trace on standard error\n"
    "  --log FILE         the core's diagnostic trace appended to FILE\n"
    "  --help             this text\n"
    "\n"
    "Received messages are printed on standard output as hex, one per line.\n"
    "The console's log goes to standard error, coloured by kind on a terminal.\n"
    "Ctrl-C stops a running send after its current message.\n"
    "\n"
    "Exit status: 0 when every message was sent; 1 when nothing could be sent\n"
    "(no port, a rejected line, nothing to send) or a port was not found;\n"
    "2 when MIDI cannot be used; 64 for a usage error; 130 when cancelled.\n"
    "\n"
    "The MIDI back end is the platform's own unless VELORIN_MIDI_API says\n"
    "otherwise (alsa, jack, core, winmm).\n";

struct PortLists {
  std::vector<std::string> in, out;
};

PortLists portsOf(EngineeringViewModel& model) {
  PortLists p;
  for (int i = 0; i < model.getInPortCount(); ++i) p.in.push_back(model.getInPort(i));
  for (int i = 0; i < model.getOutPortCount(); ++i) p.out.push_back(model.getOutPort(i));
  return p;
}

// 1-based index of the port meant by spec (an index or part of a name); 0 when none.
int resolvePort(const std::string& spec, const std::vector<std::string>& names) {
  if (auto n = cli::parseInt(spec)) return (*n >= 1 && static_cast<size_t>(*n) <= names.size()) ? *n : 0;
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i].find(spec) != std::string::npos) return static_cast<int>(i) + 1;
  }
  return 0;
}

void printPorts(std::FILE* out, const PortLists& p) {
  std::fprintf(out, "Inputs:\n");
  for (size_t i = 0; i < p.in.size(); ++i) std::fprintf(out, "  %zu  %s\n", i + 1, p.in[i].c_str());
  if (p.in.empty()) std::fprintf(out, "  (none)\n");
  std::fprintf(out, "Outputs:\n");
  for (size_t i = 0; i < p.out.size(); ++i) std::fprintf(out, "  %zu  %s\n", i + 1, p.out[i].c_str());
  if (p.out.empty()) std::fprintf(out, "  (none)\n");
}

}  // namespace

int runConsole(const std::vector<std::string>& argsIn) {
  std::vector<std::string> args = argsIn;
  if (!cli::configureTrace(args)) return ExitUsage;

  bool listPorts = false, wait = false;
  std::string inSpec, outSpec, file;
  int delay = 0;
  double listen = 0;
  std::vector<std::string> messages;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* name) -> const std::string* {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "velorin-update console: %s needs a value\n", name);
        return nullptr;
      }
      return &args[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return ExitOk;
    } else if (a == "--list-ports") {
      listPorts = true;
    } else if (a == "--wait") {
      wait = true;
    } else if (a == "--in" || a == "--out" || a == "--file" || a == "--delay" || a == "--listen") {
      const std::string* v = value(a.c_str());
      if (!v) return ExitUsage;
      if (a == "--in") inSpec = *v;
      if (a == "--out") outSpec = *v;
      if (a == "--file") file = *v;
      if (a == "--delay") {
        const auto ms = cli::parseInt(*v);
        if (!ms || *ms < 0) {
          std::fprintf(stderr, "velorin-update console: --delay takes milliseconds, not '%s'\n", v->c_str());
          return ExitUsage;
        }
        delay = *ms;
      }
      if (a == "--listen") {
        const auto s = cli::parseNumber(*v);
        if (!s || *s < 0) {
          std::fprintf(stderr, "velorin-update console: --listen takes seconds, not '%s'\n", v->c_str());
          return ExitUsage;
        }
        listen = *s;
      }
    } else if (a.rfind("--", 0) == 0) {
      std::fprintf(stderr, "velorin-update console: unknown option '%s'\n", a.c_str());
      return ExitUsage;
    } else {
      messages.push_back(a);
    }
  }
  if (wait && delay > 0) {
    std::fprintf(stderr, "velorin-update console: choose either --wait or --delay\n");
    return ExitUsage;
  }

  std::string text;
  if (!file.empty()) {
    text = EngineeringViewModel::fileToMidiString(file);
    if (text.empty()) {
      std::fprintf(stderr, "velorin-update console: cannot read '%s', or it is empty\n", file.c_str());
      return ExitFailure;
    }
  }
  for (const auto& m : messages) text += (text.empty() ? "" : "\n") + m;
  const bool wantSend = !file.empty() || !messages.empty() || (!listPorts && listen == 0 && !isatty(STDIN_FILENO));
  if (wantSend && file.empty() && messages.empty()) {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  if (!listPorts && !wantSend && listen == 0) {
    std::fprintf(stderr, "velorin-update console: nothing to do (give messages, --file, --listen or --list-ports)\n\n");
    std::fputs(kUsage, stderr);
    return ExitUsage;
  }

  cli::InterruptWatcher::blockSignals();
  if (!cli::checkMidiAvailable("console")) return 2;

  const bool colour = cli::stderrIsTerminal();
  std::mutex m;
  std::condition_variable cv;
  bool listed = false;
  bool done = false;
  float progress = 0;

  EngineeringViewModel model;
  auto log = [colour](std::string line, int kind) { cli::printLogLine(stderr, line, kind, colour); };
  model.registerSystemOutputCallback(log);
  model.registerSystemInputTextCallback(log);
  model.registerInputTextCallback([](std::string hex) {
    while (!hex.empty() && hex.back() == '\n') hex.pop_back();
    std::printf("%s\n", hex.c_str());
    std::fflush(stdout);
  });
  model.registerPortListCallback([&] {
    std::lock_guard<std::mutex> lock(m);
    listed = true;
    cv.notify_all();
  });
  model.start();
  {
    std::unique_lock<std::mutex> lock(m);
    if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return listed; })) {
      std::fprintf(stderr, "velorin-update console: the MIDI port list did not arrive\n");
      return 2;
    }
  }
  const PortLists ports = portsOf(model);
  if (listPorts) {
    printPorts(stdout, ports);
    return ExitOk;
  }

  if (!inSpec.empty()) {
    const int index = resolvePort(inSpec, ports.in);
    if (index == 0) {
      std::fprintf(stderr, "velorin-update console: no MIDI input port matches '%s'\n", inSpec.c_str());
      printPorts(stderr, ports);
      return ExitFailure;
    }
    model.selectInPort(index);
    if (model.getSelectedInput() != index) return ExitFailure;  // the model logged why
  }
  if (!outSpec.empty()) {
    const int index = resolvePort(outSpec, ports.out);
    if (index == 0) {
      std::fprintf(stderr, "velorin-update console: no MIDI output port matches '%s'\n", outSpec.c_str());
      printPorts(stderr, ports);
      return ExitFailure;
    }
    model.selectOutPort(index);
    if (model.getSelectedOutput() != index) return ExitFailure;
  }
  model.setSendType(wait);
  model.setDelayTime(delay > 0, delay);
  // A port that was just opened may not be connected through yet (JACK
  // links it at its next cycle); what is sent before that is lost.
  if (!inSpec.empty() || !outSpec.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(kPortSettleMs));

  cli::InterruptWatcher interrupts([&] {
    model.cancel();
    std::lock_guard<std::mutex> lock(m);
    cv.notify_all();
  });

  int status = ExitOk;
  if (wantSend) {
    model.send(text, [&](bool finished, float p) {
      std::lock_guard<std::mutex> lock(m);
      progress = p;
      if (finished) done = true;
      cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done; });
    if (interrupts.interrupted()) {
      std::fprintf(stderr, "velorin-update console: cancelled\n");
      return 130;
    }
    if (progress <= 0.0f) status = ExitFailure;
  }
  if (listen > 0 && !interrupts.interrupted()) {
    std::unique_lock<std::mutex> lock(m);
    cv.wait_for(lock, std::chrono::duration<double>(listen), [&] { return interrupts.interrupted(); });
  }
  return status;
}
