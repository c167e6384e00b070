// Programming throughput: a 2,000-message firmware file through the
// Programmer into a simulated pedal in its boot code that answers at once
// (every message acknowledged before the next is sent), and the same
// request/acknowledge exchange made by a bare RtMidi loop, the floor that
// JACK and RtMidi set. Private JACK server, dummy driver, 32-frame periods at
// 48 kHz (0.67 ms). Run by hand: bench/updater/bench_programming [messages] [rounds]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Firmware.h"
#include "JackServer.h"
#include "PedalConfig.h"
#include "SimHost.h"
#include "Transport.h"
#include "Updater/DeviceScanner.h"
#include "Updater/FirmwareFile.h"
#include "Updater/MidiApi.h"
#include "Updater/Programmer.h"
#include "Utils/Trace.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPeriodFrames = 32;
constexpr int kReplyTimeoutMs = 2000;
constexpr const char* kEsn = "01020304050607";

struct Run {
  double seconds = 0;
  size_t messages = 0;
  size_t bytes = 0;
  bool ok = false;
};

// Sends each message and waits for the pedal's answer before the next.
class BareLoop {
 public:
  bool open(const std::string& pedalIn, const std::string& pedalOut, std::string* error) {
    in_ = Updater::createMidiIn("bench bare in", 100, error);
    out_ = Updater::createMidiOut("bench bare out", error);
    if (!in_ || !out_) return false;
    auto find = [](RtMidi& midi, const std::string& name) -> std::optional<unsigned> {
      for (unsigned i = 0; i < midi.getPortCount(); ++i)
        if (midi.getPortName(i).find(name) != std::string::npos) return i;
      return std::nullopt;
    };
    const auto inIndex = find(*in_, pedalOut);
    const auto outIndex = find(*out_, pedalIn);
    if (!inIndex || !outIndex) {
      if (error) *error = "the pedal's ports are not listed";
      return false;
    }
    in_->setCallback(&BareLoop::onMessage, this);
    in_->ignoreTypes(false, false, false);
    in_->openPort(*inIndex, "bench in");
    out_->openPort(*outIndex, "bench out");
    return true;
  }
  ~BareLoop() {
    if (in_) in_->cancelCallback();
  }

  bool exchange(const MidiBytes& message) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      received_ = false;
    }
    out_->sendMessage(&message);
    std::unique_lock<std::mutex> guard(mutex_);
    return arrived_.wait_for(guard, std::chrono::milliseconds(kReplyTimeoutMs), [&] { return received_; });
  }

 private:
  static void onMessage(double, std::vector<unsigned char>*, void* self) {
    auto* loop = static_cast<BareLoop*>(self);
    {
      std::lock_guard<std::mutex> guard(loop->mutex_);
      loop->received_ = true;
    }
    loop->arrived_.notify_one();
  }

  std::shared_ptr<RtMidiIn> in_;
  std::shared_ptr<RtMidiOut> out_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  bool received_ = false;  // guarded by mutex_
};

double since(Clock::time_point begin) {
  return std::chrono::duration<double>(Clock::now() - begin).count();
}

void report(const char* what, const Run& run) {
  if (!run.ok || run.seconds <= 0) {
    std::printf("%-22s failed\n", what);
    return;
  }
  std::printf("%-22s %6zu messages in %7.3f s   %8.1f messages/s   %10.0f bytes/s\n", what, run.messages,
              run.seconds, static_cast<double>(run.messages) / run.seconds,
              static_cast<double>(run.bytes) / run.seconds);
}

}  // namespace

int main(int argc, char** argv) {
  const int messages = argc > 1 ? std::max(4, std::atoi(argv[1])) : 2000;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2;

  std::string error;
  std::optional<velorin::test::JackServer> server =
      velorin::test::JackServer::start(getpid(), 900, &error, kPeriodFrames);
  if (!server) {
    std::fprintf(stderr, "cannot start a JACK server: %s\n", error.c_str());
    return 1;
  }
  velorin::test::exportJackEnvironment(server->name());
  // One trace line per message would measure the terminal, not the exchange.
  Trace::setSink({});

  PedalSim::PedalConfig config;
  if (!PedalSim::parsePedal(std::string("type=Kesmet mode=boot esn=") + kEsn, 0, config, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  // begin, erase, data blocks, file check: `messages` in all.
  PedalSim::Fw::FirmwareSpec spec;
  spec.type = config.type;
  spec.version = {1, 30, false};
  spec.blocks = static_cast<uint32_t>(messages - 3);
  const PedalSim::Fw::Firmware fw = PedalSim::Fw::build(spec);
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("velorin-bench-" + std::to_string(getpid()) + "_fwu.syx")).string();
  if (!PedalSim::Fw::writeFile(path, fw.messages, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  // What is sent: everything but the trailing 7-byte message.
  std::vector<MidiBytes> sent = Updater::loadMidiFile(path);
  if (!sent.empty() && sent.back().size() == 7) sent.pop_back();
  size_t bytes = 0;
  for (const MidiBytes& m : sent) bytes += m.size();

  int status = 0;
  {
    PedalSim::SimHost host({config}, PedalSim::makeMidiTransport());
    if (!host.start(&error)) {
      std::fprintf(stderr, "cannot start the simulator: %s\n", error.c_str());
      return 1;
    }
    Updater::DeviceScanner& scanner = *Updater::DeviceScanner::Instance();
    scanner.startDemon();
    const std::string esn(kEsn);
    std::shared_ptr<Updater::DeviceInfo> device = scanner.findDeviceByESN({esn.begin(), esn.end()}, 60);
    scanner.pause();
    const auto ports = host.openPorts();
    BareLoop bare;
    if (!device || ports.empty() || !bare.open(ports[0].in, ports[0].out, &error)) {
      std::fprintf(stderr, "the simulated pedal was not found: %s\n", error.c_str());
      status = 1;
    } else {
      std::printf("%zu messages (%zu bytes) per run, JACK dummy driver, %d-frame periods at 48 kHz\n",
                  sent.size(), bytes, kPeriodFrames);
      Updater::Programmer programmer;
      std::vector<Run> programmed, floor;
      for (int round = 0; round < rounds; ++round) {
        Run p{0, sent.size(), bytes, false};
        auto begin = Clock::now();
        p.ok = programmer.programDevice(device, {path});
        p.seconds = since(begin) - Updater::Programmer::kBetweenFilesMs / 1000.0;
        programmed.push_back(p);

        Run b{0, sent.size(), bytes, true};
        begin = Clock::now();
        for (const MidiBytes& m : sent) b.ok = bare.exchange(m) && b.ok;
        b.seconds = since(begin);
        floor.push_back(b);
      }
      for (int round = 0; round < rounds; ++round) {
        std::printf("round %d\n", round + 1);
        report("  Programmer", programmed[static_cast<size_t>(round)]);
        report("  bare RtMidi loop", floor[static_cast<size_t>(round)]);
      }
      double p = 0, b = 0;
      for (const Run& r : programmed) p += r.seconds;
      for (const Run& r : floor) b += r.seconds;
      if (p > 0 && b > 0)
        std::printf("throughput ratio Programmer / bare loop: %.3f\n", b / p);
    }
    scanner.killDemon();
    host.stop();
  }
  std::filesystem::remove(path);
  Trace::resetSink();
  server->stop();
  return status;
}
