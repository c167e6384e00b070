// The update state machine and the family 0x12 procedure against a scripted
// pedal that follows mode changes; the scanner is the pedal itself.
#include <gtest/gtest.h>

#include <algorithm>

#include "FakePedal.h"

using namespace Updater;
using velorin::test::FakePedal;
using velorin::test::hex;
using velorin::test::makeFirmware;
using velorin::test::PedalController;
using velorin::test::TempDir;
using velorin::test::TraceCapture;

namespace {

bool isLoader(const MidiBytes& m) { return m.size() > 7 && m[6] == 0x1C; }
bool isReset(const MidiBytes& m) { return m.size() > 7 && m[6] == 0x1B; }

std::vector<MidiBytes> modeCommands(const std::vector<MidiBytes>& received) {
  std::vector<MidiBytes> out;
  for (const MidiBytes& m : received)
    if (isLoader(m) || isReset(m)) out.push_back(m);
  return out;
}

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    controller.setProgrammerStatusCallback(
        [this](std::string text, float) { statuses.push_back(text); });
  }
  bool runLocal(const std::vector<std::string>& files) {
    DFUData dfu;
    return controller.doLocalUpdate(pedal.esn, files, dfu);
  }
  bool runServer(const std::vector<std::string>& files) {
    DFUData dfu;
    return controller.doServerUpdate(pedal.esn, files, dfu);
  }
  // Firmware programmed from boot code: byte 5 has 0x40 set.
  std::string bootFile(const std::string& name, int data = 3) {
    return dir.write(name, makeFirmware(0x13, 0x43, data));
  }

  TempDir dir;
  FakePedal pedal{0x13, 0x03};  // Kesmet: boot code 1343, back to user with 1C 03
  PedalController controller{pedal};
  std::vector<std::string> statuses;
  TraceCapture trace;
};

TEST_F(ControllerTest, UserCodeFilesAreProgrammedFirstTheOthersInTheirOrder) {
  pedal.present = false;
  EXPECT_FALSE(runLocal({"/f/A_fwd.syx", "/f/B_fwu.syx", "/f/C.syx", "/f/D_fwu.syx"}));
  EXPECT_EQ(controller.localSrcFiles(),
            (std::vector<std::string>{"/f/D_fwu.syx", "/f/B_fwu.syx", "/f/A_fwd.syx", "/f/C.syx"}));
  EXPECT_TRUE(pedal.received().empty());
}

TEST_F(ControllerTest, LocalUpdateGoesToBootCodeProgramsAndReturnsToUserCode) {
  const std::string file = bootFile("Kesmet_fwu.syx");
  ASSERT_TRUE(runLocal({file})) << controller.lastError();
  EXPECT_FALSE(pedal.inBoot);
  EXPECT_EQ(modeCommands(pedal.received()),
            (std::vector<MidiBytes>{hex("F0 00 2B 5E 13 03 1C 02 F7"), hex("F0 00 2B 5E 13 03 1B 09 58 F7"),
                                    hex("F0 00 2B 5E 13 43 1C 03 F7"), hex("F0 00 2B 5E 13 43 1B 09 58 F7")}));
  // begin, erase, 3 data; the gender message is not sent.
  EXPECT_EQ(pedal.firmwareReceived().size(), 5u);
  EXPECT_EQ(controller.events,
            (std::vector<std::string>{"find", "bus",                            // the switch's own
                                      "reset", "bus", "find", "pause",          // after GotoBoot
                                      "reset", "bus", "find", "pause"}));       // after GotoUser
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back(), "Finishing");
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Programming 100%"), statuses.end());
  EXPECT_EQ(controller.state(), FwUpdateViewController::State::CompleteLocalUpdate);
  EXPECT_EQ(controller.lastError(), "");
}

TEST_F(ControllerTest, FailedProgrammingStillReturnsThePedalButFailsTheRun) {
  pedal.ackStatus = [](int n) { return n >= 3 ? 0x02 : 0x00; };
  EXPECT_FALSE(runLocal({bootFile("Kesmet_fwu.syx")}));
  EXPECT_FALSE(pedal.inBoot);
  EXPECT_EQ(modeCommands(pedal.received()).back(), hex("F0 00 2B 5E 13 43 1B 09 58 F7"));
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Write failed"), statuses.end());
  EXPECT_EQ(controller.lastError(), "programming failed");
}

TEST_F(ControllerTest, CancelBeforeProgrammingFailsAndStillReturnsThePedal) {
  // The cancel comes while the pedal restarts into its boot code.
  controller.beforeFind = [this](int search) {
    if (search == 2) controller.cancel();
  };
  EXPECT_FALSE(runLocal({bootFile("Kesmet_fwu.syx")}));
  EXPECT_TRUE(pedal.firmwareReceived().empty());
  EXPECT_FALSE(pedal.inBoot);
  EXPECT_EQ(controller.lastError(), "cancelled");
}

TEST_F(ControllerTest, CancelDuringProgrammingFails) {
  std::vector<std::string> notices;
  controller.setCancleCallback([&](std::string text) { notices.push_back(text); });
  pedal.onFirmware = [this](int n) {
    if (n == 2) controller.cancel();
  };
  EXPECT_FALSE(runLocal({bootFile("Kesmet_fwu.syx", 10)}));
  EXPECT_EQ(pedal.firmwareReceived().size(), 2u);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].rfind("CANCEL! msgSentCnt: 2", 0), 0u) << notices[0];
  EXPECT_FALSE(pedal.inBoot);
  EXPECT_EQ(controller.lastError(), "cancelled");
}

TEST_F(ControllerTest, APedalThatIgnoresTheLoaderIsNotProgrammedBlind) {
  pedal.ignoreLoader = true;
  EXPECT_FALSE(runLocal({bootFile("Kesmet_fwu.syx")}));
  EXPECT_TRUE(pedal.firmwareReceived().empty());
  EXPECT_EQ(controller.lastError(), "BeginLocalUpdate: device did not enter boot code ");
}

TEST_F(ControllerTest, APedalThatDoesNotComeBackFailsTheRun) {
  // Gone after its first restart: the run cannot go on in boot code.
  pedal.vanishAfterReset = true;
  EXPECT_FALSE(runLocal({bootFile("Kesmet_fwu.syx")}));
  EXPECT_EQ(controller.lastError(), "BeginLocalUpdate: deviceInfo == nullptr ");

  // Gone after the final restart only: programming worked, the run fails.
  FakePedal late(0x13, 0x03);
  PedalController lateController(late);
  late.onFirmware = [&late](int n) {
    if (n == 5) late.vanishAfterReset = true;
  };
  DFUData dfu;
  EXPECT_FALSE(lateController.doLocalUpdate(late.esn, {bootFile("b_fwu.syx")}, dfu));
  EXPECT_EQ(late.firmwareReceived().size(), 5u);
  EXPECT_EQ(lateController.lastError(), "CompleteLocalUpdate: deviceInfo == nullptr ");
}

TEST_F(ControllerTest, AStuckPedalInBootCodeIsRecovered) {
  pedal.inBoot = true;
  ASSERT_TRUE(runLocal({bootFile("Kesmet_fwu.syx")})) << controller.lastError();
  // No second switch to boot code, but the pedal is looked up again anyway.
  EXPECT_EQ(modeCommands(pedal.received()),
            (std::vector<MidiBytes>{hex("F0 00 2B 5E 13 43 1C 03 F7"), hex("F0 00 2B 5E 13 43 1B 09 58 F7")}));
  EXPECT_EQ(std::count(controller.events.begin(), controller.events.end(), "find"), 3);
  EXPECT_FALSE(pedal.inBoot);
}

TEST_F(ControllerTest, APedalWithoutBootCodeIsProgrammedWhereItIs) {
  FakePedal fennick(0x17, 0x01);
  PedalController fennickController(fennick);
  DFUData dfu;
  ASSERT_TRUE(fennickController.doLocalUpdate(
      fennick.esn, {dir.write("Fennick_fwu.syx", makeFirmware(0x17, 0x41, 3))}, dfu));
  // Only the programmer's closing reset, no loader selection.
  EXPECT_EQ(modeCommands(fennick.received()),
            std::vector<MidiBytes>{hex("F0 00 2B 5E 17 01 1B 02 00 F7")});
  EXPECT_EQ(std::count(fennickController.events.begin(), fennickController.events.end(), "find"), 2);
}

TEST_F(ControllerTest, LocalRunsThatCannotStartNameTheirReason) {
  struct Case {
    std::vector<std::string> files;
    bool pedalInBoot;
    const char* error;
  };
  const std::string userFw = dir.write("u_fwu.syx", makeFirmware(0x13, 0x03, 2));
  const std::string dfuWithSysex = dir.write("image.dfu", makeFirmware(0x13, 0x43, 1));
  const std::string emptyDfu = dir.writeBytes("empty.dfu", {});
  const std::string tiny = dir.writeBytes("tiny_fwu.syx", hex("F0 00 2B 5E F7"));
  const Case cases[] = {
      {{}, false, "StartLocalUpdate: _localSrcFiles.size() == 0 "},
      {{""}, false, "StartLocalUpdate: _localSrcFiles[0].size() == 0"},
      {{dir.path() + "/missing.syx"}, false, "StartLocalUpdate: firstFileData.size() == 0"},
      {{tiny}, false, "StartLocalUpdate: firstFileData[0].size() < 6"},
      {{dfuWithSysex}, false, "StartLocalUpdate: extension == .dfu"},
      {{emptyDfu}, false, "StartLocalUpdate: firstFileData.size() == 0"},
      {{userFw}, true, "StartLocalUpdate: This update requires the device to be in UserCode"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    FakePedal p(0x13, 0x03, c.pedalInBoot);
    PedalController run(p);
    DFUData dfu;
    EXPECT_FALSE(run.doLocalUpdate(p.esn, c.files, dfu));
    EXPECT_EQ(run.lastError(), c.error);
    EXPECT_TRUE(p.received().empty());
  }
}

TEST_F(ControllerTest, ServerUpdateProgramsTheRepositoryFiles) {
  ASSERT_TRUE(runServer({bootFile("Kesmet_0125_fwu.syx")})) << controller.lastError();
  EXPECT_EQ(pedal.firmwareReceived().size(), 5u);
  EXPECT_FALSE(pedal.inBoot);
  EXPECT_EQ(controller.events.front(), "bus");
  EXPECT_EQ(controller.state(), FwUpdateViewController::State::UpdateToLatestVersion_Complete);
}

TEST_F(ControllerTest, ServerUpdateFailuresAreFailures) {
  EXPECT_FALSE(runServer({}));
  EXPECT_EQ(controller.lastError(), "UpdateToLatestVersion_Start: _localSrcFiles.size() == 0 ");
  EXPECT_TRUE(pedal.received().empty());

  pedal.ackStatus = [](int) { return 0x01; };
  EXPECT_FALSE(runServer({bootFile("Kesmet_0125_fwu.syx")}));
  EXPECT_FALSE(pedal.inBoot);
  EXPECT_EQ(controller.lastError(), "programming failed");

  // A file whose name gives no complete protocol stops before it is sent.
  pedal.ackStatus = [](int) { return 0x00; };
  const size_t before = pedal.firmwareReceived().size();
  EXPECT_FALSE(runServer({bootFile("kesmet.syx")}));
  EXPECT_EQ(pedal.firmwareReceived().size(), before);
}

// ---- family 0x12 ----------------------------------------------------------------------

class VentrixTest : public ::testing::Test {
 protected:
  // A header naming pedal 1201, then `count` firmware messages.
  std::string file(int count, const MidiBytes& header = hex("F0 00 2B 5E 12 01 43 01 00 10 F7")) {
    std::vector<MidiBytes> messages{header};
    for (int i = 0; i < count; ++i)
      messages.push_back({0xF0, 0x00, 0x2B, 0x5E, 0x42, 0x0C, 0x04, 0x00, 0x00, 0x00, 0x00,
                          static_cast<uint8_t>(i), 0x11, 0x22, 0x00, 0xF7});
    return dir.write("Quenda_0100_fwu.syx", messages);
  }
  bool run(const std::string& path) {
    return controller.doVentrixUpdate(path, pedal.esn, [this](float p, std::string text, bool flag) {
      reports.push_back(text);
      progress.push_back(p);
      flags.push_back(flag);
    });
  }

  TempDir dir;
  FakePedal pedal{0x12, 0x01};
  PedalController controller{pedal};
  std::vector<std::string> reports;
  std::vector<float> progress;
  std::vector<bool> flags;
  TraceCapture trace;
};

TEST_F(VentrixTest, EightMessagesAreWrittenWithRoundedPercentagesAndBootCodeIsLeft) {
  ASSERT_TRUE(run(file(8))) << controller.lastError();
  EXPECT_EQ(reports, (std::vector<std::string>{"Enabling update mode", "Programming", "Programming 13%",
                                               "Programming 25%", "Programming 38%", "Programming 50%",
                                               "Programming 63%", "Programming 75%", "Programming 88%",
                                               "Programming 100%"}));
  EXPECT_TRUE(flags[0]);
  EXPECT_FALSE(flags[1]);
  EXPECT_FLOAT_EQ(progress.back(), 1.0f);
  const auto written = pedal.firmwareReceived();
  ASSERT_EQ(written.size(), 8u);
  for (const MidiBytes& m : written) EXPECT_EQ(m[8], 0x03);  // "write"
  EXPECT_FALSE(pedal.inBoot);
  EXPECT_EQ(controller.events, (std::vector<std::string>{"reset", "resume", "find", "pause"}));
}

TEST_F(VentrixTest, BootControlCommandsInTheFileAreNeverSent) {
  const std::string path = dir.write(
      "q_fwu.syx", {hex("F0 00 2B 5E 12 01 43 01 00 10 F7"), hex("F0 00 2B 5E 42 11 F7"),
                    hex("F0 00 2B 5E 42 0C 04 00 00 00 00 01 F7"), hex("F0 00 2B 5E 42 01 F7"),
                    hex("F0 00 2B 5E 42 0C 04 00 00 00 00 02 F7")});
  ASSERT_TRUE(run(path));
  EXPECT_EQ(pedal.firmwareReceived().size(), 2u);
  EXPECT_EQ(reports[2], "Programming 50%");
  // The two commands went out once each, from the procedure itself.
  const auto received = pedal.received();
  EXPECT_EQ(std::count(received.begin(), received.end(), hex("F0 00 2B 5E 42 11 F7")), 1);
  EXPECT_EQ(std::count(received.begin(), received.end(), hex("F0 00 2B 5E 42 01 F7")), 1);
}

TEST_F(VentrixTest, AFileForAnotherPedalIsRefusedBeforeBootCode) {
  EXPECT_FALSE(run(file(4, hex("F0 00 2B 5E 12 02 43 01 00 10 F7"))));
  EXPECT_TRUE(reports.empty());
  EXPECT_TRUE(pedal.received().empty());
}

TEST_F(VentrixTest, NothingToWriteLeavesThePedalAndTheScannerAlone) {
  const std::string onlyCommands =
      dir.write("c_fwu.syx", {hex("F0 00 2B 5E 42 11 F7"), hex("F0 00 2B 5E 42 01 F7")});
  EXPECT_FALSE(run(onlyCommands));
  EXPECT_TRUE(controller.events.empty());
  EXPECT_FALSE(run(file(0)));  // the header alone
  EXPECT_FALSE(run(dir.path() + "/missing.syx"));
  EXPECT_TRUE(reports.empty());
  EXPECT_TRUE(pedal.firmwareReceived().empty());
  EXPECT_FALSE(pedal.inBoot);
}

TEST_F(VentrixTest, AMessageFailingThreeTimesEndsProgrammingAndLeavesBootCode) {
  pedal.ackStatus = [](int n) { return n >= 3 ? 0x01 : 0x00; };
  EXPECT_FALSE(run(file(5)));
  // Two accepted, then three refused attempts of the third message.
  EXPECT_EQ(pedal.firmwareReceived().size(), 5u);
  EXPECT_EQ(reports.back(), "Programming 40%");
  EXPECT_FALSE(pedal.inBoot);
  EXPECT_TRUE(trace.contains("kFUBad\n"));
}

TEST_F(VentrixTest, AnUnansweredExitIsReported) {
  pedal.exitAnswers = false;
  EXPECT_FALSE(run(file(2)));
  EXPECT_EQ(reports.back(), "Failed to exit boot code");
  EXPECT_FLOAT_EQ(progress.back(), 0.0f);
}

TEST_F(VentrixTest, CancelStopsBetweenMessagesAndLeavesBootCode) {
  pedal.onFirmware = [this](int n) {
    if (n == 2) controller.cancel();
  };
  EXPECT_FALSE(run(file(6)));
  EXPECT_EQ(pedal.firmwareReceived().size(), 2u);
  EXPECT_FALSE(pedal.inBoot);
  EXPECT_EQ(controller.lastError(), "cancelled");
}

TEST(BootUpdateNeed, ComparesTheBootCodeVersionWithTheImage) {
  struct Case {
    const char* reply;  // nullptr: no answer
    Version::Revision latest;
    bool needed;
  };
  const Case cases[] = {
      {"F0 00 2B 5E 13 04 32 00 01 00 14 F7", {1, 20, false}, false},  // same
      {"F0 00 2B 5E 13 04 32 00 01 00 14 F7", {1, 21, false}, true},
      {"F0 00 2B 5E 13 04 32 00 01 00 14 F7", {2, 0, false}, true},
      {"F0 00 2B 5E 13 04 32 39 01 00 14 F7", {1, 20, false}, true},   // beta on the pedal
      {"F0 00 2B 5E 13 04 32 00 03 00 01 F7", {2, 5, false}, false},   // image older than the pedal's
      {"F0 00 2B 5E 13 04 32 00 01 F7", {9, 9, false}, false},         // truncated reply
      {nullptr, {9, 9, false}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply ? c.reply : "silence");
    auto connection = std::make_shared<velorin::test::FakeConnection>();
    const MidiBytes reply = c.reply ? hex(c.reply) : MidiBytes{};
    connection->setResponder([&](const MidiBytes& request) -> std::vector<MidiBytes> {
      if (request != hex("F0 00 2B 5E 13 04 32 F7") || reply.empty()) return {};
      return {reply};
    });
    auto device = std::make_shared<DeviceInfo>(connection);
    device->fid = 0x13;
    device->pid = 0x04;
    FwUpdateViewController controller;
    EXPECT_EQ(controller.checkIsBootUpdateNeed(device, c.latest), c.needed);
    EXPECT_EQ(connection->calls().at(0).timeout, 1000);
  }
}

TEST(UpdateHelpers, HasEndingAndVectorCompare) {
  EXPECT_TRUE(hasEnding("a_fwu.syx", "fwu.syx"));
  EXPECT_FALSE(hasEnding("syx", "fwu.syx"));
  EXPECT_FALSE(hasEnding("a_FWU.syx", "fwu.syx"));
  EXPECT_TRUE(vectorCompare({1, 2}, {1, 2}));
  EXPECT_FALSE(vectorCompare({1, 2}, {1, 2, 3}));
  EXPECT_FALSE(vectorCompare({1, 2}, {1, 3}));
}

}  // namespace
