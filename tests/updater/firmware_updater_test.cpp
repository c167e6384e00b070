// Mode switching: loader selection and reset, sent only when the pedal is in
// the other mode and its connection is open.
#include <gtest/gtest.h>

#include "FakeConnection.h"
#include "Updater/DeviceInfo.h"
#include "Updater/FirmwareUpdater.h"
#include "Updater/InterfaceFactory.h"

using namespace Updater;
using velorin::test::FakeConnection;
using velorin::test::hex;

namespace {

class CountingUpdater : public FirmwareUpdater {
 public:
  int busResets = 0;

 protected:
  void resetUSBBus() override { ++busResets; }
};

class FirmwareUpdaterTest : public ::testing::Test {
 protected:
  std::shared_ptr<DeviceInfo> device(uint16_t fidpid) {
    auto d = std::make_shared<DeviceInfo>(connection);
    d->fid = static_cast<uint8_t>(fidpid >> 8);
    d->pid = static_cast<uint8_t>(fidpid & 0xFF);
    d->deviceInterface = getDeviceInterfaceFromFidPid(fidpid);
    return d;
  }
  void SetUp() override {
    connection = std::make_shared<FakeConnection>();
    updater.setSleepFunction([this](int ms) { sleeps.push_back(ms); });
  }

  std::shared_ptr<FakeConnection> connection;
  CountingUpdater updater;
  std::vector<int> sleeps;
};

TEST_F(FirmwareUpdaterTest, BootCodeSwitchSelectsTheLoaderResetsAndLetsGoOfThePorts) {
  EXPECT_EQ(updater.commandToBootcode(device(0x1303), true), FirmwareUpdater::kResultDone);
  EXPECT_EQ(connection->sent(), (std::vector<MidiBytes>{hex("F0 00 2B 5E 13 03 1C 02 F7"),
                                                          hex("F0 00 2B 5E 13 03 1B 09 58 F7")}));
  for (const auto& call : connection->calls()) EXPECT_EQ(call.kind, FakeConnection::Kind::Free);
  EXPECT_EQ(connection->deactivations(), 1);
  EXPECT_EQ(updater.busResets, 1);
  EXPECT_EQ(sleeps, (std::vector<int>{200, 500, 500, 1000}));
}

TEST_F(FirmwareUpdaterTest, UserCodeSwitchUsesTheTablesOwnSelection) {
  EXPECT_EQ(updater.commandToUsercode(device(0x1343), true), FirmwareUpdater::kResultDone);
  EXPECT_EQ(connection->sent(), (std::vector<MidiBytes>{hex("F0 00 2B 5E 13 43 1C 03 F7"),
                                                          hex("F0 00 2B 5E 13 43 1B 09 58 F7")}));
  EXPECT_EQ(connection->deactivations(), 1);
  EXPECT_EQ(updater.busResets, 0);
  EXPECT_EQ(sleeps, (std::vector<int>{200, 500, 1000}));
}

TEST_F(FirmwareUpdaterTest, DfuSwitchSelectsTheDfuLoader) {
  EXPECT_EQ(updater.commandToDFU(device(0x1304), true), FirmwareUpdater::kResultDone);
  EXPECT_EQ(connection->sent().front(), hex("F0 00 2B 5E 13 04 1C 01 F7"));
  EXPECT_EQ(connection->deactivations(), 1);
}

TEST_F(FirmwareUpdaterTest, APedalAlreadyInTheWantedModeGetsNothing) {
  EXPECT_EQ(updater.commandToBootcode(device(0x1743), true), FirmwareUpdater::kResultDone);
  EXPECT_EQ(updater.commandToUsercode(device(0x1703), true), FirmwareUpdater::kResultDone);
  EXPECT_TRUE(connection->sent().empty());
  EXPECT_EQ(connection->deactivations(), 0);
}

TEST_F(FirmwareUpdaterTest, MissingRecordsAndConnectionsAreReportedNotDereferenced) {
  EXPECT_EQ(updater.commandToBootcode(nullptr, true), FirmwareUpdater::kResultNotPossible);
  EXPECT_EQ(updater.commandToUsercode(nullptr, true), FirmwareUpdater::kResultNotPossible);
  EXPECT_EQ(updater.commandToDFU(nullptr, true), FirmwareUpdater::kResultNotPossible);

  // A record the scanner has dropped keeps its fields but not its connection.
  auto dropped = device(0x1343);
  dropped->connection.reset();
  EXPECT_EQ(updater.commandToBootcode(dropped, true), FirmwareUpdater::kResultNotPossible);
  EXPECT_EQ(updater.commandToUsercode(dropped, true), FirmwareUpdater::kResultFailed);
  EXPECT_EQ(updater.commandToDFU(dropped, true), FirmwareUpdater::kResultFailed);

  connection->setOpen(false);
  EXPECT_EQ(updater.commandToBootcode(device(0x1303), true), FirmwareUpdater::kResultFailed);
  EXPECT_TRUE(connection->sent().empty());
}

TEST_F(FirmwareUpdaterTest, AFailedSelectionIsNotFollowedByAReset) {
  connection->setSendFails(true);
  EXPECT_FALSE(updater.selectBootCodeAndReset(device(0x1303)));
  EXPECT_EQ(connection->deactivations(), 0);
  EXPECT_EQ(updater.busResets, 0);
}

TEST_F(FirmwareUpdaterTest, WriteCommandSendsTheTablesMessageOrNothing) {
  EXPECT_TRUE(updater.writeCommand("reset", device(0x1742)));
  EXPECT_EQ(connection->sent().back(), hex("F0 00 2B 5E 17 42 1B 09 58 F7"));
  EXPECT_FALSE(updater.writeCommand("no.such.key", device(0x1742)));
  EXPECT_FALSE(updater.writeCommand("command.timeout.ms", device(0x1742)));  // a number
  EXPECT_FALSE(updater.writeCommand("reset", nullptr));
  EXPECT_EQ(connection->sent().size(), 1u);
}

TEST_F(FirmwareUpdaterTest, UpdateFirmwareNeedsFilesAndAnOpenConnection) {
  EXPECT_EQ(updater.updateFirmware(device(0x1701), {}, false), FirmwareUpdater::kResultNotPossible);
  EXPECT_EQ(updater.updateFirmware(nullptr, {"a_fwu.syx"}, false), FirmwareUpdater::kResultNotPossible);
  connection->setOpen(false);
  EXPECT_EQ(updater.updateFirmware(device(0x1701), {"a_fwu.syx"}, false),
            FirmwareUpdater::kResultNotPossible);
  EXPECT_TRUE(connection->sent().empty());
}

}  // namespace
