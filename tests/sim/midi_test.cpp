// The simulator over real MIDI ports on the test JACK server: discovery-style
// requests, a programming run with acknowledgements, and a mode change that
// makes the ports vanish and come back under the boot code's name.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "JackTest.h"
#include "SimHost.h"
#include "SimTestUtil.h"
#include "Updater/MidiApi.h"

using namespace simtest;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> outputPorts() {  // ports we can send to
  std::vector<std::string> names;
  auto out = Updater::createMidiOut("sim-test lister");
  if (!out) return names;
  for (unsigned i = 0; i < out->getPortCount(); ++i) names.push_back(out->getPortName(i));
  return names;
}

// Waits until a port whose name contains `part` is listed (or, with
// present false, until none is); false after 10 s.
bool waitForPort(const std::string& part, bool present = true) {
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < until) {
    bool found = false;
    for (const auto& n : outputPorts()) found = found || n.find(part) != std::string::npos;
    if (found == present) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

// The computer's side of one pedal: an output to its input port and an input
// from its output port, found by name.
class Peer {
 public:
  bool connect(const std::string& part) {
    out_ = Updater::createMidiOut("sim-test out");
    in_ = Updater::createMidiIn("sim-test in", 1024);
    if (!out_ || !in_) return false;
    in_->ignoreTypes(false, true, true);
    in_->setCallback(&Peer::onMessage, this);
    bool openedOut = false, openedIn = false;
    for (unsigned i = 0; i < out_->getPortCount() && !openedOut; ++i) {
      if (out_->getPortName(i).find(part) == std::string::npos) continue;
      out_->openPort(i);
      openedOut = true;
    }
    for (unsigned i = 0; i < in_->getPortCount() && !openedIn; ++i) {
      if (in_->getPortName(i).find(part) == std::string::npos) continue;
      in_->openPort(i);
      openedIn = true;
    }
    return openedOut && openedIn;
  }
  ~Peer() {
    if (in_) in_->closePort();
  }
  void send(const MidiBytes& message) { out_->sendMessage(&message); }
  // Sends and waits for the next message matching a trigger pattern.
  MidiBytes ask(const MidiBytes& message, const std::string& pattern) {
    {
      std::lock_guard lock(mutex_);
      received_.clear();
    }
    out_->sendMessage(&message);
    std::unique_lock lock(mutex_);
    MidiBytes found;
    arrived_.wait_for(lock, 5s, [&] {
      for (const auto& m : received_) {
        if (triggers(pattern, m)) found = m;
      }
      return !found.empty();
    });
    return found;
  }

 private:
  static void onMessage(double, std::vector<unsigned char>* m, void* self) {
    auto* peer = static_cast<Peer*>(self);
    std::lock_guard lock(peer->mutex_);
    peer->received_.push_back(*m);
    peer->arrived_.notify_all();
  }
  std::shared_ptr<RtMidiOut> out_;
  std::shared_ptr<RtMidiIn> in_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<MidiBytes> received_;
};

class SimOverMidi : public velorin::test::JackTest {};

}  // namespace

TEST_F(SimOverMidi, DiscoveryRequestsProgrammingAndModeChange) {
  std::vector<PedalSim::PedalConfig> pedals;
  std::string error;
  ASSERT_TRUE(PedalSim::parseScenario("type=1303 mode=boot esn=0A0B0C0D0E0F10 version=1.02\n", pedals, error));
  PedalSim::SimHost host(std::move(pedals), PedalSim::makeMidiTransport());
  ASSERT_TRUE(host.start(&error)) << error;
  ASSERT_TRUE(waitForPort("Kesmet Update"));

  {
    Peer peer;
    ASSERT_TRUE(peer.connect("Kesmet Update"));
    const MidiBytes id = peer.ask(bytes("F0 7E 7F 06 01 F7"), "F0 7E .. 06 02 .. .. .. .. .. .. .. .. .. .. .. F7");
    ASSERT_EQ(id.size(), 17u);
    EXPECT_EQ(id[10], 0x43);
    const MidiBytes esn = peer.ask(bytes("F0 00 2B 5E 13 43 21 F7"), "F0 00 2B 5E 13 43 21 .. .. .. .. .. .. .. .. F7");
    EXPECT_EQ(dense(MidiBytes(esn.begin() + 8, esn.end() - 1)), "0A0B0C0D0E0F10");

    // A whole file, message by message, each acknowledged good.
    PedalSim::Fw::FirmwareSpec spec;
    PedalSim::findType("1303", spec.type);
    spec.version = {1, 30, false};
    spec.blocks = 40;
    spec.messageSize = 256;
    const auto fw = PedalSim::Fw::build(spec);
    for (const auto& m : fw.messages) {
      if (m.size() == 7) continue;
      const MidiBytes ack = peer.ask(m, "F0 00 2B 5E 13 43 4[23] 0C .. F7");
      ASSERT_TRUE(matchesExpression("F0 00 2B 5E 13 .. 4[23] 0C 00 F7", ack)) << spaced(ack);
    }
    std::string sha;
    host.withPedal(0, [&](PedalSim::PedalEngine& e) { sha = PedalSim::Fw::sha256Hex(e.region(0).image()); });
    EXPECT_EQ(sha, PedalSim::Fw::sha256Hex(fw.image));

    // Back to user code: the boot port vanishes, the user port appears.
    peer.send(bytes("F0 00 2B 5E 13 43 1C 03 F7"));
    peer.send(bytes("F0 00 2B 5E 13 43 1B 01 00 F7"));
  }
  ASSERT_TRUE(waitForPort("Kesmet Update", false));
  ASSERT_TRUE(waitForPort("Kesmet"));
  Peer user;
  ASSERT_TRUE(user.connect("Kesmet"));
  const MidiBytes id = user.ask(bytes("F0 7E 7F 06 01 F7"), "F0 7E .. 06 02 00 2B 5E");
  ASSERT_EQ(id.size(), 17u);
  EXPECT_EQ(id[10], 0x03);
  EXPECT_EQ(MidiBytes(id.begin() + 12, id.begin() + 16), (MidiBytes{'0', '1', '3', '0'}));
  host.stop();
  EXPECT_TRUE(waitForPort("Kesmet", false));
}
