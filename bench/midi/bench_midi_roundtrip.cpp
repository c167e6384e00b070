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
#include <random>
#include <string>
#include <thread>
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

// The bare exchange: an RtMidiOut and an RtMidiIn wired to the peer, the
// reply signalled from the input callback.
class BareLink {
 public:
  bool open(const MidiPeer& peer, std::string* error) {
    in_ = Updater::createMidiIn("bench bare in", 100, error);
    out_ = Updater::createMidiOut("bench bare out", error);
    auto inIndex = peer.indexForInputPort();
    auto outIndex = peer.indexForOutputPort();
    if (!in_ || !out_ || !inIndex || !outIndex) return false;
    in_->setCallback(&BareLink::onMessage, this);
    in_->ignoreTypes(false, false, false);
    in_->openPort(*inIndex, "bench in");
    out_->openPort(*outIndex, "bench out");
    // A new JACK link may drop what is sent before it takes effect.
    for (int i = 0; i < 50; ++i) {
      if (exchange()) return true;
    }
    return false;
  }

  ~BareLink() {
    if (in_) in_->cancelCallback();
  }

  bool exchange() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      received_ = false;
    }
    out_->sendMessage(&kRequest);
    std::unique_lock<std::mutex> guard(mutex_);
    return arrived_.wait_for(guard, std::chrono::milliseconds(kReplyTimeoutMs),
                             [&] { return received_; });
  }

 private:
  static void onMessage(double, std::vector<unsigned char>*, void* self) {
    auto* link = static_cast<BareLink*>(self);
    {
      std::lock_guard<std::mutex> guard(link->mutex_);
      link->received_ = true;
    }
    link->arrived_.notify_one();
  }

  std::shared_ptr<RtMidiIn> in_;
  std::shared_ptr<RtMidiOut> out_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  bool received_ = false;  // guarded by mutex_
};

double elapsedMicros(Clock::time_point begin) {
  return std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
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
      BareLink bare;
      if (!bare.open(peer, &error)) {
        std::fprintf(stderr, "cannot open the bare RtMidi link: %s\n", error.c_str());
        return 1;
      }
      // A reply can only leave in a later JACK cycle, so a round trip takes
      // one or two periods depending on where in the cycle the request is
      // sent. Requests of both kinds alternate, each after a random pause,
      // so that both meet the same spread of cycle phases.
      std::mt19937 random(12345);
      std::uniform_int_distribution<int> pause(0, 1000);  // microseconds
      std::vector<double> connectionMicros, bareMicros;
      int connectionFailures = 0, bareFailures = 0;
      MidiBytes reply;
      for (int i = 0; i < requests; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
        auto begin = Clock::now();
        if (connection->sendAndWait(kRequest, &reply, kReplyTimeoutMs) && reply == kRequest) {
          connectionMicros.push_back(elapsedMicros(begin));
        } else {
          ++connectionFailures;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
        begin = Clock::now();
        if (bare.exchange()) {
          bareMicros.push_back(elapsedMicros(begin));
        } else {
          ++bareFailures;
        }
      }
      const Stats connectionStats = summarize(std::move(connectionMicros), connectionFailures);
      const Stats bareStats = summarize(std::move(bareMicros), bareFailures);
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
