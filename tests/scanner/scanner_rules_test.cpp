// The scanner's rules without MIDI: port names, proxy serial numbers, list
// pruning, and the validation callback fed with replies directly while the
// scanner waits for them.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include <cstdlib>

#include "USBBusManager.h"
#include "Updater/DeviceScanner.h"
#include "Updater/MidiApi.h"
#include "Updater/plugins/Ventrix/VxMidiTrigger.h"
#include "Utils/Trace.h"

namespace {

using Updater::DeviceScanner;
using Updater::MidiPortData;
using Updater::ResponseType;

// No MIDI back end: the scanner and its ports make no RtMidi objects.
const bool kNoMidi = setenv(Updater::kMidiApiVariable, "none", 1) == 0;

std::vector<uint8_t> chars(const std::string& text) { return {text.begin(), text.end()}; }
std::string text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

TEST(ScannerRules, PortNameDecidesWhetherAConnectionIsSupported) {
  struct Case {
    VX::DeviceType type;
    const char* port;
    bool valid;
  };
  const Case cases[] = {
      {VX::Kesmet, "MIDIIN2 (Kesmet)", true},
      {VX::Kesmet, "KESMET:KESMET", true},  // lower-cased before the search
      {VX::Kesmet, "USB MIDI Interface", false},
      {VX::Dorvik, "Velorin_Recover", true},
      {VX::Pallamo, "Velorin_Recover 2", true},
      {VX::Dorvik, "Pallamo", false},
      {VX::Rosmund, "Ros Mund", true},
      {VX::Rosmund, "Rosmund Update", false},
      {VX::Arbelo, "anything at all", true},
      {VX::Sarnavel, "", true},
      {VX::NoDeviceType, "whatever", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port);
    EXPECT_EQ(DeviceScanner::isValidConnection(c.type, c.port), c.valid);
  }
}

TEST(ScannerRules, ElfHashAndProxySerialNumber) {
  // Reference values worked out by hand from the PJW recurrence.
  EXPECT_EQ(Updater::ELFHash(""), 0u);
  EXPECT_EQ(Updater::ELFHash("abc"), 0x6783u);
  EXPECT_EQ(Updater::ELFHash("Velorin"), 0x0CC368AEu);
  // Bytes above 0x7F count as negative.
  EXPECT_EQ(Updater::ELFHash("\xE9t\xE9"), 0x0FFF2FD9u);

  MidiPortData entry;
  entry.type = VX::Kesmet;
  entry.inputPort = std::make_shared<Updater::MidiPortIn>("USB MIDI Interface:in", 0);
  entry.outputPort = std::make_shared<Updater::MidiPortOut>("USB MIDI Interface:out", 0);
  // ELFHash of the two names and "(kesmet)" is 0x00F78969, least significant byte first.
  EXPECT_EQ(DeviceScanner::generateProxyESN(&entry), "6989F700");

  // The same ports and type give the same ESN; another type another one.
  MidiPortData again = entry;
  EXPECT_EQ(DeviceScanner::generateProxyESN(&again), "6989F700");
  again.type = VX::Corvel;
  EXPECT_NE(DeviceScanner::generateProxyESN(&again), "6989F700");
  EXPECT_EQ(DeviceScanner::generateProxyESN(&again).size(), 8u);

  // Types valid on any port have no proxy.
  again.type = VX::Arbelo;
  EXPECT_EQ(DeviceScanner::generateProxyESN(&again), "");
  EXPECT_EQ(DeviceScanner::generateProxyESN(nullptr), "");
}

TEST(ScannerRules, DuplicatePruningSkipsTheEntryThatMovesUp) {
  struct Case {
    std::vector<std::string> before;
    std::vector<std::string> after;
  };
  const Case cases[] = {
      {{"A", "A", "A"}, {"A", "A"}},
      {{"A", "", ""}, {"A", ""}},
      {{"A", "A", "B"}, {"A", "B"}},  // B moved up unexamined, but kept anyway
      {{"A", "B", "A", "B"}, {"A", "B", "B"}},
      {{"", "A"}, {"A"}},
      {{}, {}},
  };
  for (const Case& c : cases) {
    Updater::MidiPortDataList list;
    for (const std::string& esn : c.before) {
      auto entry = std::make_shared<MidiPortData>();
      entry->esn = chars(esn);
      list.push_back(entry);
    }
    Updater::removeDuplicateDevices(&list);
    std::vector<std::string> got;
    for (const auto& entry : list) got.push_back(text(entry->esn));
    EXPECT_EQ(got, c.after);
  }
}

TEST(ScannerRules, OwnPortsAreRecognisedByTheirClientNames) {
  EXPECT_TRUE(DeviceScanner::isOwnPort("RtMidi Input Client:RtMidi Input"));
  EXPECT_TRUE(DeviceScanner::isOwnPort("RtMidi Output Client-03:RtMidi Output"));
  EXPECT_TRUE(DeviceScanner::isOwnPort("RtMidi Input Client:RtMidi Input 129:0"));
  EXPECT_FALSE(DeviceScanner::isOwnPort("Kesmet:Kesmet"));
  EXPECT_FALSE(DeviceScanner::isOwnPort("RtMidi Input Client-x:RtMidi Input"));
  EXPECT_FALSE(DeviceScanner::isOwnPort("RtMidi Input Client:Kesmet"));
  EXPECT_FALSE(DeviceScanner::isOwnPort("MIDIIN2 (Kesmet)"));
}

TEST(ScannerRules, BusResetReturnsAtOnceAndLeavesTheScannerAlone) {
  USBBusManager* bus = USBBusManager::Shared();
  ASSERT_EQ(bus, USBBusManager::Shared());
  DeviceScanner scanner;
  scanner.pause();
  bus->resetUSBBus();
  EXPECT_TRUE(scanner.isPaused());
  EXPECT_FALSE(scanner.isBusOnReset());
  EXPECT_EQ(scanner.cycleNumber(), 0);
}

// ---------------------------------------------------------------------------
// The validation callback, fed directly.

class ValidationCallback : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kNoMidi);
    Trace::setSink({});
    list_.scanner = &scanner_;
    addPort("Kesmet:Kesmet");
  }
  void TearDown() override { Trace::resetSink(); }

  void addPort(const std::string& name) {
    list_.entries.clear();
    auto first = std::make_shared<MidiPortData>();
    first->inputPort = std::make_shared<Updater::MidiPortIn>(name, 0);
    list_.entries.push_back(first);
  }

  // Runs inject while the scanner waits for `type`; returns the wait's result.
  bool during(ResponseType type, const std::function<void()>& inject) {
    std::atomic<bool> result{false};
    std::thread waiter([&] { result = scanner_.setWaitResponse(type); });
    while (scanner_.getWaitType() != type) std::this_thread::yield();
    inject();
    waiter.join();
    return result;
  }

  void deliver(MidiBytes message) {
    Updater::connectionValidationCallback(0.0, &message, &list_);
  }

  static MidiBytes identity(uint8_t fid, uint8_t pid, const char* version = "0125") {
    return {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x00, 0x2B, 0x5E, fid, 0x00, pid, 0x00,
            static_cast<uint8_t>(version[0]), static_cast<uint8_t>(version[1]),
            static_cast<uint8_t>(version[2]), static_cast<uint8_t>(version[3]), 0xF7};
  }
  static MidiBytes serial(uint8_t fid, uint8_t pid, uint8_t last) {
    return {0xF0, 0x00, 0x2B, 0x5E, fid, pid, 0x21, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, last, 0xF7};
  }

  // One scanner cycle as the daemon runs it for a single device.
  void cycle(uint8_t fid, uint8_t pid, uint8_t last) {
    EXPECT_TRUE(during(ResponseType::Identity, [&] { deliver(identity(fid, pid)); }));
    EXPECT_TRUE(during(ResponseType::ESN, [&] { deliver(serial(fid, pid, last)); }));
  }

  DeviceScanner scanner_;
  Updater::ScannerDeviceList list_;
};

TEST_F(ValidationCallback, APedalIsListedOnItsSecondSerialNumberReply) {
  cycle(0x13, 0x03, 0x07);
  ASSERT_EQ(list_.entries.size(), 1u);
  auto device = list_.entries[0]->device;
  ASSERT_TRUE(device);
  EXPECT_EQ(text(device->esn), "01020304050607");
  EXPECT_EQ(device->type, VX::Kesmet);
  EXPECT_EQ(device->versionMajor, '1');
  EXPECT_EQ(device->versionMinorTens, '2');
  EXPECT_EQ(device->versionMinorUnits, '5');
  EXPECT_FALSE(device->present);
  EXPECT_TRUE(scanner_.doScan(1).empty());

  cycle(0x13, 0x03, 0x07);
  EXPECT_EQ(list_.entries.size(), 1u);  // the fresh entry was a duplicate
  const auto listed = scanner_.doScan(1);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0], device);  // the same record, now present
  EXPECT_FALSE(device->isChained);
  EXPECT_FALSE(device->isConnectionUnsupported);
}

TEST_F(ValidationCallback, TwoPedalsOnOnePortAreBothChained) {
  addPort("MIDI Thru Box:out");
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(during(ResponseType::Identity, [&] {
      deliver(identity(0x13, 0x04));
      deliver(identity(0x13, 0x05));
    }));
    // The daemon asks every entry in turn; answers come from the pedal asked.
    for (size_t e = 0; e < list_.entries.size(); ++e) {
      const uint8_t pid = list_.entries[e]->pid;
      during(ResponseType::ESN, [&] { deliver(serial(0x13, pid, pid)); });
    }
  }
  const auto listed = scanner_.doScan(1);
  ASSERT_EQ(listed.size(), 2u);
  for (const auto& device : listed) {
    EXPECT_TRUE(device->isChained);
    EXPECT_EQ(text(device->esn).substr(12), device->pid == 0x04 ? "04" : "05");
  }
}

TEST_F(ValidationCallback, ForeignPortGivesAStableProxyAndNoGrowingList) {
  addPort("USB MIDI Interface:in");
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(during(ResponseType::Identity, [&] { deliver(identity(0x13, 0x03)); }));
  }
  EXPECT_EQ(list_.entries.size(), 1u);
  const auto listed = scanner_.doScan(1);
  ASSERT_EQ(listed.size(), 1u);
  const std::string esn = text(listed[0]->esn);
  EXPECT_EQ(esn.size(), 8u);
  EXPECT_EQ(esn.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_TRUE(listed[0]->isConnectionUnsupported);
  EXPECT_EQ(esn, DeviceScanner::generateProxyESN(list_.entries[0].get()));
}

TEST_F(ValidationCallback, UnknownPedalsAndUnawaitedRepliesAreIgnored) {
  // Unknown fid/pid: announced, not kept, the wait reports nothing.
  EXPECT_FALSE(during(ResponseType::Identity, [&] { deliver(identity(0x55, 0x01)); }));
  ASSERT_EQ(list_.entries.size(), 1u);
  EXPECT_EQ(list_.entries[0]->fid, 0);
  // An identity reply while a serial number is awaited is not read.
  EXPECT_FALSE(during(ResponseType::ESN, [&] { deliver(identity(0x13, 0x03)); }));
  EXPECT_EQ(list_.entries[0]->fid, 0);
  // Nor a serial number with nothing to attach it to.
  EXPECT_FALSE(during(ResponseType::ESN, [&] { deliver(serial(0x13, 0x03, 1)); }));
  // Nor anything that is not SysEx, or a truncated identity reply.
  EXPECT_FALSE(during(ResponseType::Identity, [&] {
    deliver({0x90, 0x40, 0x7F});
    MidiBytes cut = identity(0x13, 0x03);
    cut.resize(15);
    deliver(cut);
  }));
  EXPECT_EQ(list_.entries[0]->fid, 0);
}

TEST_F(ValidationCallback, OwnerAndDspRepliesUpdateTheDeviceAsked) {
  // Boot code 1341 serves two pedals; its owner reply decides which.
  addPort("Velorin_Recover:Velorin_Recover");
  cycle(0x13, 0x41, 0x01);
  auto device = list_.entries[0]->device;
  ASSERT_TRUE(device);
  EXPECT_EQ(device->type, VX::NoDeviceType);
  EXPECT_TRUE(during(ResponseType::Gender, [&] {
    deliver({0xF0, 0x00, 0x2B, 0x5E, 0x13, 0x41, 0x2F, 0x00, 0x13, 0x00, 0x02, 0xF7});
  }));
  EXPECT_EQ(device->type, VX::Dorvik);
  during(ResponseType::Gender, [&] {
    deliver({0xF0, 0x00, 0x2B, 0x5E, 0x13, 0x41, 0x2F, 0x00, 0x13, 0x00, 0x01, 0xF7});
  });
  EXPECT_EQ(device->type, VX::Pallamo);
  during(ResponseType::Gender, [&] {
    deliver({0xF0, 0x00, 0x2B, 0x5E, 0x13, 0x41, 0x2F, 0x00, 0x12, 0x00, 0x02, 0xF7});
  });
  EXPECT_EQ(device->type, VX::Pallamo);

  MidiBytes dsp{0xF0, 0x00, 0x2B, 0x5E, 0x13, 0x41, 0x42, 0x08, 0x00, '2', '3', '4'};
  dsp.resize(20, 0x00);
  dsp.push_back(0x00);  // byte 20: not the active code bank
  dsp.push_back(0xF7);
  EXPECT_TRUE(during(ResponseType::DSP, [&] { deliver(dsp); }));
  EXPECT_EQ(device->dspVersion, (std::array<uint8_t, 4>{0, 0, 0, 0}));
  dsp[20] = 0x01;
  EXPECT_TRUE(during(ResponseType::DSP, [&] { deliver(dsp); }));
  EXPECT_EQ(device->dspVersion, (std::array<uint8_t, 4>{0x00, '2', '3', '4'}));
}

TEST_F(ValidationCallback, ShortRepliesReachTheDeviceConnection) {
  addPort("Fennick:Fennick");
  cycle(0x17, 0x01, 0x01);
  auto device = list_.entries[0]->device;
  ASSERT_TRUE(device && device->connection);
  // A trigger attaches even though these ports are not open.
  auto trigger = std::make_shared<VxMidiTrigger>("F0 00 2B 5E .. .. 2E .. .. .. .. F7");
  EXPECT_FALSE(device->connection->sendAndWait({0xF0, 0xF7}, trigger, 0, false));
  const MidiBytes version{0xF0, 0x00, 0x2B, 0x5E, 0x17, 0x01, 0x2E, 0x00, 0x01, 0x02, 0x03, 0xF7};
  EXPECT_FALSE(during(ResponseType::ESN, [&] { deliver(version); }));
  EXPECT_EQ(trigger->acceptedCount(), 1);

  // While the connection is exclusive even the scanner's own replies go there.
  trigger->setPattern("F0 7E .. 06 02 00 2B 5E ..");
  device->connection->setExclusive(true);
  EXPECT_FALSE(during(ResponseType::Identity, [&] { deliver(identity(0x17, 0x01)); }));
  EXPECT_EQ(trigger->acceptedCount(), 2);
  EXPECT_EQ(list_.entries.size(), 1u);
}

}  // namespace
