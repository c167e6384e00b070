// Two figures of the device scanner, on a private JACK server (dummy driver,
// 256-frame periods at 48 kHz):
//
// 1. Discovery latency: the time from a pedal's ports appearing to the first
//    doScan(1) that lists it, with doScan called back to back as the view
//    model's thread does. A pedal is listed from its second serial-number
//    reply, so the floor is two scanner cycles; the cycle time is measured
//    with that pedal present. Median over the runs (default 20).
// 2. Idle cost: the CPU time of this process (scanner daemon, MIDI input
//    threads of its ports, the JACK client threads of its RtMidi objects)
//    while it keeps scanning three pedals simulated by a separate process,
//    over a window (default 20 s) scaled to one minute.
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "JackServer.h"
#include "PedalConfig.h"
#include "SimHost.h"
#include "Transport.h"
#include "Updater/DeviceScanner.h"
#include "Utils/Trace.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool listed(Updater::DeviceScanner& scanner, const std::string& esn) {
  for (const auto& device : scanner.doScan(1)) {
    if (std::string(device->esn.begin(), device->esn.end()) == esn) return true;
  }
  return false;
}

// Mean cycle time over a few cycles, in ms.
double cycleMs(Updater::DeviceScanner& scanner, int cycles) {
  const int32_t first = scanner.cycleNumber();
  while (scanner.cycleNumber() == first) std::this_thread::sleep_for(1ms);
  const auto start = Clock::now();
  const int32_t from = scanner.cycleNumber();
  while (scanner.cycleNumber() < from + cycles) std::this_thread::sleep_for(1ms);
  return msSince(start) / cycles;
}

// Waits until the scanner has settled after ports changed: no bus reset and
// two whole cycles since.
void settle(Updater::DeviceScanner& scanner) {
  while (scanner.isBusOnReset()) std::this_thread::sleep_for(5ms);
  const int32_t from = scanner.cycleNumber();
  while (scanner.cycleNumber() < from + 2) std::this_thread::sleep_for(5ms);
}

int discoveryLatency(int runs) {
  Updater::DeviceScanner scanner;
  scanner.startDemon();
  std::vector<double> latencies;
  std::vector<double> cycles;
  for (int run = 0; run < runs; ++run) {
    char esn[24];
    std::snprintf(esn, sizeof esn, "0102030405%04d", run % 10000);
    PedalSim::PedalConfig config;
    std::string error;
    if (!PedalSim::parsePedal(std::string("type=Yelto esn=") + esn, 0, config, error)) {
      std::fprintf(stderr, "bad pedal: %s\n", error.c_str());
      return 1;
    }
    settle(scanner);
    // Start at a random point of the scanner's cycle.
    std::this_thread::sleep_for(std::chrono::milliseconds(std::rand() % 700));
    auto host = std::make_unique<PedalSim::SimHost>(std::vector<PedalSim::PedalConfig>{config},
                                                    PedalSim::makeMidiTransport());
    if (!host->start(&error)) {
      std::fprintf(stderr, "cannot start the pedal: %s\n", error.c_str());
      return 1;
    }
    const auto appeared = Clock::now();
    while (!listed(scanner, esn)) {
      if (msSince(appeared) > 30000) {
        std::fprintf(stderr, "run %d: pedal not listed within 30 s\n", run);
        return 1;
      }
    }
    latencies.push_back(msSince(appeared));
    cycles.push_back(cycleMs(scanner, 3));
    host->stop();
    host.reset();
  }
  scanner.killDemon();
  std::sort(latencies.begin(), latencies.end());
  std::sort(cycles.begin(), cycles.end());
  const double median = latencies[latencies.size() / 2];
  const double cycle = cycles[cycles.size() / 2];
  std::printf("discovery: ports appear -> first listed by doScan(1), %d runs (Yelto on own ports)\n", runs);
  std::printf("  median %.0f ms   min %.0f ms   max %.0f ms\n", median, latencies.front(), latencies.back());
  std::printf("  scanner cycle with the pedal present: %.0f ms (median); floor of two cycles %.0f ms\n", cycle,
              2 * cycle);
  std::printf("  median / floor = %.2f\n", median / (2 * cycle));
  return 0;
}

int idleCost(int seconds) {
  // The pedals live in their own process, so that only the scanner's side
  // is counted here.
  std::vector<std::string> argv = {VELORIN_PEDAL_SIM_PATH,
                                   "--pedal", "type=Kesmet esn=11111111111111",
                                   "--pedal", "type=Yelto esn=22222222222222",
                                   "--pedal", "type=Brenno esn=33333333333333"};
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t sim = -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", 0, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", 1, 0);
  const int spawned = posix_spawn(&sim, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    std::fprintf(stderr, "cannot start %s\n", args[0]);
    return 1;
  }
  int status = 0;
  {
    Updater::DeviceScanner scanner;
    scanner.startDemon();
    const auto start = Clock::now();
    while (scanner.doScan(1).size() < 3 && msSince(start) < 30000) {
    }
    if (scanner.doScan(1).size() != 3) {
      std::fprintf(stderr, "the three pedals were not listed\n");
      status = 1;
    } else {
      const double cycle = cycleMs(scanner, 3);
      const double cpuBefore = cpuSeconds();
      const auto wallBefore = Clock::now();
      std::this_thread::sleep_for(std::chrono::seconds(seconds));
      const double cpu = cpuSeconds() - cpuBefore;
      const double wall = msSince(wallBefore) / 1000;
      std::printf("idle scanning, three pedals (Kesmet, Yelto, Brenno) in another process:\n");
      std::printf("  %.3f s CPU in %.1f s -> %.2f s CPU per minute (%.2f %% of one core); cycle %.0f ms\n", cpu,
                  wall, cpu * 60 / wall, cpu * 100 / wall, cycle);
    }
    scanner.killDemon();
  }
  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
  std::string error;
  std::optional<velorin::test::JackServer> server = velorin::test::JackServer::start(getpid(), 900, &error);
  if (!server) {
    std::fprintf(stderr, "cannot start a JACK server: %s\n", error.c_str());
    return 1;
  }
  velorin::test::exportJackEnvironment(server->name());
  // One trace line per MIDI message would measure the terminal.
  Trace::setSink({});
  std::srand(12345);
  int status = discoveryLatency(runs);
  std::printf("\n");
  if (status == 0) status = idleCost(seconds);
  Trace::resetSink();
  server->stop();
  return status;
}
