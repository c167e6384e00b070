// Discovery end to end: the scanner daemon on a JACK server of this test's
// own, against simulated pedals on their own ports, chained behind one port
// pair, behind a foreign interface and in boot code.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

#include "MidiPeer.h"
#include "JackServer.h"
#include "ScannerTestBed.h"

namespace {

using namespace std::chrono_literals;
using scanner_test::esnBytes;
using scanner_test::esnText;
using scanner_test::findIn;
using scanner_test::waitUntil;
using Updater::DeviceInfo;
using Updater::DeviceScanner;

class ScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(velorin::test::useJackServer(&error)) << error;
  }

  void TearDown() override {
    if (scanner_) scanner_->killDemon();
    scanner_.reset();
    pedals_.stop();
    if (HasFailure()) trace_.dump();
  }

  void startPedals(const std::vector<std::string>& pedals) {
    std::string error;
    ASSERT_TRUE(pedals_.start(pedals, &error)) << error;
  }

  void startScanner() {
    scanner_ = std::make_unique<DeviceScanner>();
    scanner_->startDemon();
  }

  // Waits until every ESN is listed; returns the last list.
  std::vector<std::shared_ptr<DeviceInfo>> waitForListed(const std::vector<std::string>& esns,
                                                         std::chrono::milliseconds timeout = 20s) {
    std::vector<std::shared_ptr<DeviceInfo>> listed;
    waitUntil(
        [&] {
          listed = scanner_->doScan(1);
          for (const std::string& esn : esns) {
            if (!findIn(listed, esn)) return false;
          }
          return true;
        },
        timeout, 0ms);
    return listed;
  }

  DeviceInfo read(const std::shared_ptr<DeviceInfo>& device) { return scanner_->readDevice(device); }

  static std::string version(const DeviceInfo& d) {
    return std::string{d.versionMajor, '.', d.versionMinorTens, d.versionMinorUnits};
  }

  scanner_test::TraceTail trace_;
  scanner_test::SimPedals pedals_;
  std::unique_ptr<DeviceScanner> scanner_;
};

TEST_F(ScannerTest, FindsPedalsOnOwnPortsChainedAndBehindAForeignInterface) {
  startPedals({
      "type=Kesmet esn=11111111111111 version=1.25 dsp=2.34",
      "type=Yelto esn=22222222222222 version=3.07b",
      "type=Brenno esn=33333333333333 dsp=1.11 port=\"MIDI Thru Box\"",
      "type=Ulmara esn=44444444444444 dsp=2.22 port=\"MIDI Thru Box\"",
      "type=Corvel esn=55555555555555 port=\"USB MIDI Interface\"",
  });
  startScanner();

  // Listed only from its second serial-number reply on.
  std::shared_ptr<DeviceInfo> kesmet;
  int serialRequests = 0;
  ASSERT_TRUE(waitUntil(
      [&] {
        // The simulator logs a request before it answers it.
        kesmet = findIn(scanner_->doScan(1), "11111111111111");
        serialRequests = pedals_.receivedEnding(0, "13 03 21 F7");
        return kesmet != nullptr;
      },
      20s, 0ms));
  EXPECT_GE(serialRequests, 2);

  // The proxy ESN is not known in advance: find the Corvel by type.
  auto listed = waitForListed({"11111111111111", "22222222222222", "33333333333333", "44444444444444"});
  ASSERT_TRUE(waitUntil(
      [&] {
        listed = scanner_->doScan(1);
        return listed.size() == 5;
      },
      20s, 0ms))
      << listed.size() << " pedals listed";

  struct Expected {
    const char* esn;
    VX::DeviceType type;
    int fidpid;
    const char* version;
    bool beta;
    std::array<uint8_t, 4> dsp;
    bool chained;
  };
  const Expected expected[] = {
      {"11111111111111", VX::Kesmet, 0x1303, "1.25", false, {}, false},
      {"22222222222222", VX::Yelto, 0x1707, "3.07", true, {}, false},
      {"33333333333333", VX::Brenno, 0x1304, "1.00", false, {}, true},
      {"44444444444444", VX::Ulmara, 0x1305, "1.00", false, {}, true},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.esn);
    auto device = findIn(listed, e.esn);
    ASSERT_TRUE(device);
    const DeviceInfo d = read(device);
    EXPECT_EQ(d.type, e.type);
    EXPECT_EQ(d.getFidPid2Bytes(), e.fidpid);
    EXPECT_EQ(version(d), e.version);
    EXPECT_EQ(d.isBeta, e.beta);
    EXPECT_EQ(d.isChained, e.chained);
    EXPECT_FALSE(d.isConnectionUnsupported);
    EXPECT_TRUE(d.connection);
    EXPECT_TRUE(d.deviceInterface);
  }
  // The DSP version is the four bytes the pedal reports; each chained pedal
  // keeps its own.
  auto dspOf = [&](const char* esn) { return read(findIn(listed, esn)).dspVersion; };
  // Beta marker, major, tens, units, as the scenario sets them.
  using Dsp = std::array<uint8_t, 4>;
  // (A reply that missed its window is asked for again next cycle.)
  EXPECT_TRUE(waitUntil([&] { return dspOf("11111111111111") == Dsp{'0', '2', '3', '4'}; }, 20s));
  EXPECT_TRUE(waitUntil([&] { return dspOf("33333333333333") == Dsp{'0', '1', '1', '1'}; }, 20s));
  EXPECT_TRUE(waitUntil([&] { return dspOf("44444444444444") == Dsp{'0', '2', '2', '2'}; }, 20s));
  EXPECT_NE(dspOf("33333333333333"), dspOf("44444444444444"));
  EXPECT_EQ(dspOf("22222222222222"), (std::array<uint8_t, 4>{}));  // no DSP

  std::shared_ptr<DeviceInfo> corvel;
  for (const auto& device : listed) {
    if (read(device).type == VX::Corvel) corvel = device;
  }
  ASSERT_TRUE(corvel);
  const DeviceInfo c = read(corvel);
  const std::string proxy = esnText(c.esn);
  EXPECT_EQ(proxy.size(), 8u);
  EXPECT_EQ(proxy.find_first_not_of("0123456789ABCDEF"), std::string::npos) << proxy;
  EXPECT_TRUE(c.isConnectionUnsupported);
  EXPECT_FALSE(c.isChained);

  // Later cycles keep the same records, the proxy ESN among them.
  const int32_t cycle = scanner_->cycleNumber();
  ASSERT_TRUE(waitUntil([&] { return scanner_->cycleNumber() >= cycle + 2; }, 20s));
  listed = scanner_->doScan(1);
  EXPECT_EQ(listed.size(), 5u);
  EXPECT_EQ(findIn(listed, proxy), corvel);
  EXPECT_EQ(findIn(listed, "11111111111111"), kesmet);

  // A new scanner (as after a restart of the program) gives the Corvel the same proxy ESN.
  scanner_->killDemon();
  startScanner();
  listed = waitForListed({proxy, "11111111111111"});
  ASSERT_TRUE(findIn(listed, proxy));
  EXPECT_NE(findIn(listed, proxy), corvel);
  EXPECT_EQ(read(findIn(listed, proxy)).type, VX::Corvel);
}

TEST_F(ScannerTest, PedalsInBootCodeReportTheirUserCodeAndOwner) {
  startPedals({
      "type=Kesmet mode=boot esn=11111111111111 version=1.25 boot=0.50",
      "type=Dorvik mode=boot esn=22222222222222 version=2.10b",
      "type=Pallamo mode=boot esn=33333333333333 version=3.40",
      "type=Yelto valid=0 esn=44444444444444 boot=0.70",
  });
  startScanner();
  const auto listed =
      waitForListed({"11111111111111", "22222222222222", "33333333333333", "44444444444444"}, 30s);

  struct Expected {
    const char* esn;
    VX::DeviceType type;
    int fidpid;
    const char* version;
    bool beta;
  };
  const Expected expected[] = {
      {"11111111111111", VX::Kesmet, 0x1343, "1.25", false},
      {"22222222222222", VX::Dorvik, 0x1341, "2.10", true},
      {"33333333333333", VX::Pallamo, 0x1341, "3.40", false},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.esn);
    auto device = findIn(listed, e.esn);
    ASSERT_TRUE(device);
    ASSERT_TRUE(waitUntil([&] { return read(device).type == e.type && read(device).versionMajor != 0; }, 20s));
    const DeviceInfo d = read(device);
    EXPECT_EQ(d.getFidPid2Bytes(), e.fidpid);
    EXPECT_EQ(version(d), e.version);
    EXPECT_EQ(d.isBeta, e.beta);
    EXPECT_FALSE(d.isConnectionUnsupported);
  }
  // Without valid user code the version query is refused: no version.
  const DeviceInfo yelto = read(findIn(listed, "44444444444444"));
  EXPECT_EQ(yelto.getFidPid2Bytes(), 0x1747);
  EXPECT_EQ(yelto.type, VX::Yelto);
  EXPECT_EQ(yelto.versionMajor, 0);
}

TEST_F(ScannerTest, SilentPedalLeavesAfterFourMissedCyclesAndComesBackAsItself) {
  startPedals({"type=Kesmet esn=11111111111111", "type=Yelto esn=22222222222222"});
  // A device of a family nobody knows answers the identity request.
  velorin::test::MidiPeer stranger(velorin::test::MidiPeer::Mode::Reply);
  ASSERT_TRUE(stranger.ok()) << stranger.error();
  stranger.addReply({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},
                    {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x00, 0x2B, 0x5E, 0x55, 0x00, 0x01, 0x00, '0', '1',
                     '0', '0', 0xF7});
  startScanner();
  auto listed = waitForListed({"11111111111111", "22222222222222"});
  auto kesmet = findIn(listed, "11111111111111");
  ASSERT_TRUE(kesmet);
  // The stranger answered at least two identity requests and is not listed.
  ASSERT_TRUE(stranger.waitForReceived(2, 20s));
  EXPECT_EQ(scanner_->doScan(1).size(), 2u);

  // The Kesmet stops answering but keeps its ports.
  const int32_t lastAnswered = read(kesmet).lastSeenCycle;
  pedals_.host().withPedal(0, [](PedalSim::PedalEngine& e) { e.faults().delayMs = 600000; });
  ASSERT_TRUE(waitUntil([&] { return !findIn(scanner_->doScan(1), "11111111111111"); }, 20s));
  // It went absent in the cycle that ended more than three cycles after its last answer.
  EXPECT_GT(scanner_->cycleNumber() - 1 - read(kesmet).lastSeenCycle, 3);
  EXPECT_GE(read(kesmet).lastSeenCycle, lastAnswered);
  EXPECT_TRUE(findIn(scanner_->doScan(1), "22222222222222"));
  EXPECT_FALSE(scanner_->isBusOnReset());

  pedals_.host().withPedal(0, [](PedalSim::PedalEngine& e) { e.faults().delayMs = 0; });
  listed = waitForListed({"11111111111111"});
  EXPECT_EQ(findIn(listed, "11111111111111"), kesmet);  // the same record
  EXPECT_TRUE(read(kesmet).connection);
  EXPECT_EQ(listed.size(), 2u);
}

TEST_F(ScannerTest, VanishingPortsDropEveryDeviceAndStartOver) {
  startPedals({"type=Kesmet esn=11111111111111", "type=Yelto esn=22222222222222"});
  startScanner();
  auto listed = waitForListed({"11111111111111", "22222222222222"});
  auto kesmet = findIn(listed, "11111111111111");
  ASSERT_TRUE(kesmet);

  // The Yelto is unplugged: its ports go with its next message.
  pedals_.host().withPedal(1, [](PedalSim::PedalEngine& e) { e.faults().vanishAfter = e.messagesIn() + 1; });
  pedals_.host().wake();
  bool sawReset = false;
  ASSERT_TRUE(waitUntil(
      [&] {
        sawReset = sawReset || scanner_->isBusOnReset();
        return !read(kesmet).connection;
      },
      20s, 10ms));
  EXPECT_FALSE(read(kesmet).present);

  // The Kesmet comes back as a new record; the Yelto stays away.
  listed = waitForListed({"11111111111111"});
  auto again = findIn(listed, "11111111111111");
  ASSERT_TRUE(again);
  EXPECT_NE(again, kesmet);
  EXPECT_EQ(*again, *kesmet);  // equal by ESN
  EXPECT_FALSE(findIn(listed, "22222222222222"));
  EXPECT_FALSE(scanner_->isBusOnReset());
  (void)sawReset;  // a bus reset lasts one cycle; the dropped connection proves it happened
}

TEST_F(ScannerTest, PauseResumeResetAndStopWhilePaused) {
  startPedals({"type=Kesmet esn=11111111111111"});
  startScanner();
  auto kesmet = findIn(waitForListed({"11111111111111"}), "11111111111111");
  ASSERT_TRUE(kesmet);

  // Not counted: two pauses are undone by one resume.
  scanner_->pause();
  scanner_->pause();
  scanner_->resume();
  EXPECT_FALSE(scanner_->isPaused());
  int32_t cycle = scanner_->cycleNumber();
  EXPECT_TRUE(waitUntil([&] { return scanner_->cycleNumber() >= cycle + 2; }, 20s));

  // Paused: the cycle in progress ends, then no more.
  scanner_->pause();
  EXPECT_TRUE(scanner_->isPaused());
  std::this_thread::sleep_for(3s);
  cycle = scanner_->cycleNumber();
  const int requests = pedals_.receivedEnding(0, "7E 7F 06 01 F7");
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(scanner_->cycleNumber(), cycle);
  EXPECT_EQ(pedals_.receivedEnding(0, "7E 7F 06 01 F7"), requests);

  // reset() drops everything and leaves the scanner running.
  scanner_->reset();
  EXPECT_FALSE(scanner_->isPaused());
  EXPECT_FALSE(read(kesmet).connection);
  EXPECT_FALSE(read(kesmet).present);
  EXPECT_TRUE(scanner_->doScan(1).empty());
  auto found = scanner_->findDeviceByESN(esnBytes("11111111111111"));
  ASSERT_TRUE(found);
  EXPECT_NE(found, kesmet);
  EXPECT_TRUE(read(found).connection);

  // An ESN nobody has: null after the given number of looks.
  EXPECT_FALSE(scanner_->findDeviceByESN(esnBytes("99999999999999"), 3));

  // doScan(3) looks three times, 150 ms apart.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(scanner_->doScan(3).size(), 1u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 450ms);
  EXPECT_TRUE(scanner_->doScan(0).empty());

  // Stopping a paused daemon ends it instead of blocking.
  scanner_->pause();
  auto stopped = std::async(std::launch::async, [&] { scanner_->killDemon(); });
  ASSERT_EQ(stopped.wait_for(30s), std::future_status::ready);
  EXPECT_FALSE(scanner_->isRunning());
}

}  // namespace
