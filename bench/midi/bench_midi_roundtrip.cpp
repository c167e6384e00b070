// Median request/response round trip through MidiConnection::sendAndWait,
// and the same exchange made with bare RtMidi objects (the floor the JACK
// server and RtMidi set). Both talk to the same echoing peer on a private
// JACK server (dummy driver, 32-frame periods at 48 kHz: 0.67 ms).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "JackServer.h"
#include "MidiPeer.h"
#include "Updater/MidiApi.h"
#include "Updater/MidiConnection.h"
#include "Utils/Trace.h"

namespace {

using Clock = std::chrono::steady_clock;
using velorin::test::JackServer;
using velorin::test::MidiPeer;

constexpr int kPeriodFrames = 32;
constexpr int kReplyTimeoutMs = 2000;
// F0 7E 7F 06 01 F7: universal identity request, echoed by the peer.
const MidiBytes kRequest = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};

struct Stats {
  double median = 0, p10 = 0, p90 = 0;
  int failures = 0;
};

Stats summarize(std::vector<double> micros, int failures) {
  Stats stats;
  stats.failures = failures;
  if (micros.empty()) return stats;
  std::sort(micros.begin(), micros.end());
  auto at = [&](double q) { return micros[static_cast<size_t>(q * static_cast<double>(micros.size() - 1))]; };
  stats.median = at(0.5);
  stats.p10 = at(0.1);
  stats.p90 = at(0.9);
  return stats;
}

Stats viaConnection(Updater::MidiConnection& connection, int requests) {
  std::vector<double> micros;
  int failures = 0;
  MidiBytes reply;
  for (int i = 0; i < requests; ++i) {
    const auto begin = Clock::now();
    const bool ok = connection.sendAndWait(kRequest, &reply, kReplyTimeoutMs);
    const auto end = Clock::now();
    if (!ok || reply != kRequest) {
      ++failures;
      continue;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(end - begin).count());
  }
  return summarize(std::move(micros), failures);
}

// The bare exchange: an RtMidiOut and an RtMidiIn wired to the peer, the
// reply signalled from the input callback.
struct BareLink {
  std::mutex mutex;
  std::condition_variable arrived;
  bool received = false;  // guarded by mutex

  static void onMessage(double, std::vector<unsigned char>*, void* self) {
    auto* link = static_cast<BareLink*>(self);
    {
      std::lock_guard<std::mutex> guard(link->mutex);
      link->received = true;
    }
    link->arrived.notify_one();
  }
};

Stats viaBareRtMidi(const MidiPeer& peer, int requests, std::string* error) {
  std::shared_ptr<RtMidiIn> in = Updater::createMidiIn("bench bare in", 100, error);
  std::shared_ptr<RtMidiOut> out = Updater::createMidiOut("bench bare out", error);
  auto inIndex = peer.indexForInputPort();
  auto outIndex = peer.indexForOutputPort();
  if (!in || !out || !inIndex || !outIndex) return Stats{0, 0, 0, requests};
  BareLink link;
  in->setCallback(&BareLink::onMessage, &link);
  in->ignoreTypes(false, false, false);
  in->openPort(*inIndex, "bench in");
  out->openPort(*outIndex, "bench out");

  // A new JACK link may drop what is sent before it takes effect.
  for (int i = 0; i < 50; ++i) {
    out->sendMessage(&kRequest);
    std::unique_lock<std::mutex> guard(link.mutex);
    if (link.arrived.wait_for(guard, std::chrono::milliseconds(100), [&] { return link.received; })) break;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  std::vector<double> micros;
  int failures = 0;
  for (int i = 0; i < requests; ++i) {
    {
      std::lock_guard<std::mutex> guard(link.mutex);
      link.received = false;
    }
    const auto begin = Clock::now();
    out->sendMessage(&kRequest);
    std::unique_lock<std::mutex> guard(link.mutex);
    const bool ok = link.arrived.wait_for(guard, std::chrono::milliseconds(kReplyTimeoutMs),
                                          [&] { return link.received; });
    const auto end = Clock::now();
    if (!ok) {
      ++failures;
      continue;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(end - begin).count());
  }
  in->cancelCallback();
  return summarize(std::move(micros), failures);
}

void report(const char* what, const Stats& stats) {
  std::printf("%-28s median %8.1f us   p10 %8.1f us   p90 %8.1f us   failed %d\n", what,
              stats.median, stats.p10, stats.p90, stats.failures);
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;

  std::string error;
  std::optional<JackServer> server = JackServer::start(getpid(), 600, &error, kPeriodFrames);
  if (!server) {
    std::fprintf(stderr, "cannot start a JACK server: %s\n", error.c_str());
    return 1;
  }
  velorin::test::exportJackEnvironment(server->name());
  // One trace line per message would measure the terminal, not the exchange.
  Trace::setSink({});

  int status = 0;
  {
    MidiPeer peer(MidiPeer::Mode::Echo);
    std::shared_ptr<Updater::MidiConnection> connection = peer.ok() ? peer.connect() : nullptr;
    if (!connection) {
      std::fprintf(stderr, "cannot reach the peer: %s\n", peer.error().c_str());
      status = 1;
    } else {
      std::printf("%d requests of %zu bytes, JACK dummy driver, %d-frame periods at 48 kHz\n",
                  requests, kRequest.size(), kPeriodFrames);
      const Stats connectionStats = viaConnection(*connection, requests);
      const Stats bareStats = viaBareRtMidi(peer, requests, &error);
      report("MidiConnection::sendAndWait", connectionStats);
      report("bare RtMidi", bareStats);
      if (bareStats.median > 0) {
        std::printf("ratio (median) %.3f\n", connectionStats.median / bareStats.median);
      }
      connection->deactivate();
      std::printf("\n");
    }
  }
  Trace::resetSink();
  server->stop();
  return status;
}
