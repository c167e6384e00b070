// velorin-pedal-sim: simulated pedals on MIDI ports, for tests, benchmarks and
// demonstrations without hardware.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "SimHost.h"

namespace {

void usage(std::FILE* to) {
  std::fputs(
      "usage: velorin-pedal-sim [--scenario FILE] [--pedal \"type=1702 version=1.25 ...\"]... [options]\n"
      "  --scenario FILE   pedals, one per line (see README.md)\n"
      "  --pedal TEXT      one more pedal, in the same key=value form\n"
      "  --log FILE        JSON-lines event log; - for standard output\n"
      "  --list-types      print the pedal types and exit\n"
      "Standard input: \"summary\" prints each pedal's state, \"quit\" stops.\n"
      "SIGUSR1 prints the summary; SIGINT and SIGTERM stop (with a summary).\n"
      "Ports are made on the MIDI back end named by VELORIN_MIDI_API (alsa, jack, ...).\n",
      to);
}

void printSummary(PedalSim::SimHost& host) {
  for (const std::string& line : host.summary()) std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<PedalSim::PedalConfig> pedals;
  std::string logPath;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    std::string error;
    if (a == "--scenario" && hasValue) {
      if (!PedalSim::loadScenario(argv[++i], pedals, error)) {
        std::fprintf(stderr, "velorin-pedal-sim: %s\n", error.c_str());
        return 2;
      }
    } else if (a == "--pedal" && hasValue) {
      PedalSim::PedalConfig c;
      if (!PedalSim::parsePedal(argv[++i], static_cast<int>(pedals.size()), c, error)) {
        std::fprintf(stderr, "velorin-pedal-sim: --pedal: %s\n", error.c_str());
        return 2;
      }
      pedals.push_back(std::move(c));
    } else if (a == "--log" && hasValue) {
      logPath = argv[++i];
    } else if (a == "--list-types") {
      for (const auto& [code, type] : VX::DeviceTypes::fidpidToTypeTable()) {
        PedalSim::TypeTraits t;
        PedalSim::findType(static_cast<uint16_t>(code), t);
        std::printf("%04X  %-9s boot %02X%02X  port \"%s\" / boot port \"%s\"\n", code, t.name().c_str(), t.family(),
                    t.bootPid(), t.userOutPortName().c_str(),
                    t.isVentrix() ? t.userOutPortName().c_str() : t.bootPortName().c_str());
      }
      return 0;
    } else if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "velorin-pedal-sim: unknown or incomplete argument %s\n", a.c_str());
      usage(stderr);
      return 2;
    }
  }
  if (pedals.empty()) {
    std::fprintf(stderr, "velorin-pedal-sim: no pedals (use --pedal or --scenario)\n");
    return 2;
  }

  std::FILE* log = nullptr;
  if (logPath == "-") {
    log = stdout;
  } else if (!logPath.empty()) {
    log = std::fopen(logPath.c_str(), "w");
    if (!log) {
      std::fprintf(stderr, "velorin-pedal-sim: cannot write %s: %s\n", logPath.c_str(), std::strerror(errno));
      return 1;
    }
  }

  // Signals are taken through a descriptor; block them before any thread
  // (ours or the MIDI service's) starts, so that all threads inherit the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signalFd < 0) {
    std::fprintf(stderr, "velorin-pedal-sim: signalfd: %s\n", std::strerror(errno));
    return 1;
  }

  PedalSim::SimHost::EventSink sink;
  if (log) {
    sink = [log](const std::string& line) {
      std::fprintf(log, "%s\n", line.c_str());
      std::fflush(log);
    };
  }
  PedalSim::SimHost host(std::move(pedals), PedalSim::makeMidiTransport(), sink);
  std::string error;
  if (!host.start(&error)) {
    std::fprintf(stderr, "velorin-pedal-sim: %s\n", error.c_str());
    return 1;
  }
  for (const auto& p : host.openPorts()) {
    std::printf("{\"event\":\"ready\",\"in\":\"%s\",\"out\":\"%s\",\"pedals\":%zu}\n", p.in.c_str(), p.out.c_str(),
                p.pedals.size());
  }
  std::fflush(stdout);

  bool stdinOpen = true;
  std::string pending;
  bool running = true;
  while (running) {
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {STDIN_FILENO, static_cast<short>(stdinOpen ? POLLIN : 0), 0}};
    if (poll(fds, stdinOpen ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGUSR1) {
          printSummary(host);
        } else {
          running = false;
        }
      }
    }
    if (stdinOpen && (fds[1].revents & (POLLIN | POLLHUP))) {
      char buffer[256];
      const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
      if (got <= 0) {
        stdinOpen = false;  // keep running until a signal
        continue;
      }
      pending.append(buffer, static_cast<size_t>(got));
      size_t eol;
      while ((eol = pending.find('\n')) != std::string::npos) {
        const std::string command = pending.substr(0, eol);
        pending.erase(0, eol + 1);
        if (command == "summary") {
          printSummary(host);
        } else if (command == "quit") {
          running = false;
        } else if (!command.empty()) {
          std::fprintf(stderr, "velorin-pedal-sim: commands are \"summary\" and \"quit\"\n");
        }
      }
    }
  }
  host.stop();
  printSummary(host);
  close(signalFd);
  if (log && log != stdout) std::fclose(log);
  return 0;
}
