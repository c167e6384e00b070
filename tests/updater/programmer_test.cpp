// The programming loops against a scripted pedal: acknowledgements, retries,
// pacing, progress, cancellation and the run's overall result.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "FakeConnection.h"
#include "Updater/DeviceInfo.h"
#include "Updater/InterfaceFactory.h"
#include "Updater/Programmer.h"
#include "Updater/plugins/CommandTable.h"

using namespace Updater;
using velorin::test::ackFor;
using velorin::test::FakeConnection;
using velorin::test::hex;
using velorin::test::makeFirmware;
using velorin::test::TempDir;
using velorin::test::TraceCapture;

namespace {

bool isFirmware(const MidiBytes& m) { return m.size() > 7 && m[6] == 0x43; }

class ProgrammerTest : public ::testing::Test {
 protected:
  void useDevice(uint16_t fidpid) {
    device = std::make_shared<DeviceInfo>(connection);
    device->fid = static_cast<uint8_t>(fidpid >> 8);
    device->pid = static_cast<uint8_t>(fidpid & 0xFF);
    device->deviceInterface = getDeviceInterfaceFromFidPid(fidpid);
  }

  void SetUp() override {
    connection = std::make_shared<FakeConnection>();
    // By default every firmware message is accepted.
    connection->setResponder([](const MidiBytes& request) -> std::vector<MidiBytes> {
      if (isFirmware(request)) return {ackFor(request, 0x00)};
      return {};
    });
    programmer.setSleepFunction([this](int ms) { sleeps.push_back(ms); });
    programmer.setProgrammerStatusCallback([this](std::string text, float progress) {
      statuses.push_back(text);
      progresses.push_back(progress);
    });
    programmer.setCancleCallback([this](std::string text) { cancels.push_back(text); });
  }

  std::vector<MidiBytes> firmwareSent() {
    std::vector<MidiBytes> out;
    for (const MidiBytes& m : connection->sent())
      if (isFirmware(m)) out.push_back(m);
    return out;
  }

  TempDir dir;
  std::shared_ptr<FakeConnection> connection;
  std::shared_ptr<DeviceInfo> device;
  Programmer programmer;
  std::vector<int> sleeps;
  std::vector<std::string> statuses;
  std::vector<float> progresses;
  std::vector<std::string> cancels;
  TraceCapture trace;
};

TEST_F(ProgrammerTest, NothingToDoIsSuccessWithoutAnyMessage) {
  useDevice(0x1701);
  EXPECT_TRUE(programmer.programDevice(device, {}));
  EXPECT_TRUE(programmer.programDevice(device, {""}));
  EXPECT_TRUE(connection->sent().empty());
}

TEST_F(ProgrammerTest, UserCodePedalIsProgrammedWithAcknowledgementsThenReset) {
  useDevice(0x1701);
  const auto firmware = makeFirmware(0x17, 0x01, 4);
  const std::string file = dir.write("Fennick_fwu.syx", firmware);
  ASSERT_TRUE(programmer.programDevice(device, {file}));

  // Everything but the trailing gender message, each with a 200 ms wait.
  const auto calls = connection->calls();
  ASSERT_EQ(calls.size(), firmware.size());  // firmware less the tail, plus the closing reset
  for (size_t i = 0; i + 1 < firmware.size(); ++i) {
    EXPECT_EQ(calls[i].request, firmware[i]);
    EXPECT_EQ(calls[i].kind, FakeConnection::Kind::Plain);
    EXPECT_EQ(calls[i].timeout, 200);
  }
  EXPECT_EQ(calls.back().request, hex("F0 00 2B 5E 17 01 1B 02 00 F7"));
  EXPECT_EQ(calls.back().kind, FakeConnection::Kind::Free);
  // 50 ms after the file, then the reset's own 256 ms and 250 ms more.
  EXPECT_EQ(sleeps, (std::vector<int>{50, 256, 250}));

  ASSERT_EQ(statuses.size(), 6u);
  EXPECT_EQ(statuses[0], "Programming 16.6667%");
  EXPECT_EQ(statuses[2], "Programming 50%");
  EXPECT_EQ(statuses.back(), "Programming 100%");
  EXPECT_FLOAT_EQ(progresses.back(), 1.0f);
  EXPECT_TRUE(trace.contains("start load: " + file + "\n"));
}

TEST_F(ProgrammerTest, AMessageSendTwiceFileRunsTwoLoadsPerPass) {
  useDevice(0x1701);
  const std::string file = dir.write("a_fwu.syx", makeFirmware(0x17, 0x01, 2, 0x20));
  ASSERT_TRUE(programmer.programDevice(device, {file}));
  EXPECT_EQ(firmwareSent().size(), 8u);
  EXPECT_EQ(std::count(progresses.begin(), progresses.end(), 1.0f), 2);
  EXPECT_TRUE(trace.contains("Load f17: 1\n"));
  EXPECT_TRUE(trace.contains("Load f17: 0\n"));
}

TEST_F(ProgrammerTest, Family17RestartsTheFileAfterOneMissingAcknowledgement) {
  useDevice(0x1741);
  const auto firmware = makeFirmware(0x17, 0x41, 3);
  const std::string file = dir.write("a_fwu.syx", firmware);
  // The third message of the first run goes unanswered.
  int seen = 0;
  connection->setResponder([&](const MidiBytes& request) -> std::vector<MidiBytes> {
    if (!isFirmware(request)) return {};
    return ++seen == 3 ? std::vector<MidiBytes>{} : std::vector<MidiBytes>{ackFor(request, 0)};
  });
  ASSERT_TRUE(programmer.programDevice(device, {file}));
  // 3 messages of the failed run, then the whole file (5 messages) again.
  EXPECT_EQ(firmwareSent().size(), 8u);
  EXPECT_EQ(firmwareSent()[3], firmware[0]);
}

TEST_F(ProgrammerTest, Family17GivesUpAfterThreeRunsOfTheFile) {
  useDevice(0x1741);
  const std::string file = dir.write("a_fwu.syx", makeFirmware(0x17, 0x41, 3));
  connection->setResponder([](const MidiBytes& request) -> std::vector<MidiBytes> {
    if (!isFirmware(request)) return {};
    return request[7] == 0x04 ? std::vector<MidiBytes>{} : std::vector<MidiBytes>{ackFor(request, 0)};
  });
  EXPECT_FALSE(programmer.programDevice(device, {file}));
  // begin, erase, first data message: three times.
  EXPECT_EQ(firmwareSent().size(), 9u);
}

TEST_F(ProgrammerTest, OtherFamiliesRetryEachMessageUpTo25Times) {
  useDevice(0x1343);
  const std::string file = dir.write("a_fwu.syx", makeFirmware(0x13, 0x43, 2));
  int refusals = 0;
  connection->setResponder([&](const MidiBytes& request) -> std::vector<MidiBytes> {
    if (!isFirmware(request)) return {};
    // The erase is refused four times, then accepted.
    if (request[7] == 0x03 && refusals < 4) {
      ++refusals;
      return {ackFor(request, 0x01)};
    }
    return {ackFor(request, 0x00)};
  });
  ASSERT_TRUE(programmer.programDevice(device, {file}));
  EXPECT_EQ(firmwareSent().size(), 4u + 4u);
  EXPECT_TRUE(trace.contains("MsgStatus: 0\n"));
  EXPECT_TRUE(trace.contains("MsgStatus: 1\n"));
}

TEST_F(ProgrammerTest, ARefusedMessageFailsBothPassesAndTheRun) {
  useDevice(0x1343);
  const std::string file = dir.write("a_fwu.syx", makeFirmware(0x13, 0x43, 3));
  connection->setResponder([](const MidiBytes& request) -> std::vector<MidiBytes> {
    if (!isFirmware(request)) return {};
    return {ackFor(request, request[7] == 0x04 && request[10] == 1 ? 0x02 : 0x00)};
  });
  EXPECT_FALSE(programmer.programDevice(device, {file}));
  // Per pass: begin, erase, data 0, then 25 attempts of data 1.
  EXPECT_EQ(firmwareSent().size(), 2u * (3u + 25u));
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Write failed"), 2);
}

TEST_F(ProgrammerTest, AFailedFileIsNotHiddenByALaterSuccessfulOne) {
  useDevice(0x1343);
  // The pedal refuses every message of the first file (product byte 0x42 in
  // its messages) and accepts the second file's.
  const std::string bad = dir.write("a_fwu.syx", makeFirmware(0x13, 0x42, 2));
  const std::string good = dir.write("b_fwu.syx", makeFirmware(0x13, 0x43, 2));
  connection->setResponder([](const MidiBytes& request) -> std::vector<MidiBytes> {
    if (!isFirmware(request)) return {};
    return {ackFor(request, request[5] == 0x42 ? 0x01 : 0x00)};
  });
  EXPECT_FALSE(programmer.programDevice(device, {bad, good}));
  // The second file was still programmed, completely.
  EXPECT_EQ(statuses.back(), "Programming 100%");
  EXPECT_EQ(firmwareSent().back(), makeFirmware(0x13, 0x43, 2)[3]);
}

TEST_F(ProgrammerTest, AnUnreadableFileIsSkippedButFailsTheRun) {
  useDevice(0x1701);
  const std::string good = dir.write("a_fwu.syx", makeFirmware(0x17, 0x01, 2));
  EXPECT_FALSE(programmer.programDevice(device, {dir.path() + "/missing_fwu.syx", good}));
  EXPECT_EQ(firmwareSent().size(), 4u);

  // Alone it fails too, after the closing message.
  connection->clearCalls();
  EXPECT_FALSE(programmer.programDevice(device, {dir.path() + "/missing_fwu.syx"}));
  EXPECT_EQ(connection->sent(), std::vector<MidiBytes>{hex("F0 00 2B 5E 17 01 1B 02 00 F7")});
}

TEST_F(ProgrammerTest, AFileWithoutCompleteProtocolStopsTheRunBeforeSendingIt) {
  useDevice(0x1343);
  const std::string first = dir.write("a_fwu.syx", makeFirmware(0x13, 0x43, 1));
  const std::string unknown = dir.write("a.syx", makeFirmware(0x13, 0x43, 1));
  const std::string after = dir.write("c_fwu.syx", makeFirmware(0x13, 0x43, 1));
  EXPECT_FALSE(programmer.programDevice(device, {first, unknown, after}));
  EXPECT_EQ(firmwareSent().size(), 3u);

  // A picked file is user code whatever its name, so the same file passes.
  connection->clearCalls();
  programmer.setLocalFile(true);
  device->deviceInterface->setUserCtxBool("localupdate", true);
  EXPECT_TRUE(programmer.programDevice(device, {unknown}));
  EXPECT_EQ(firmwareSent().size(), 3u);
}

TEST_F(ProgrammerTest, PedalStillInUserCodeIsPacedWithoutAcknowledgements) {
  useDevice(0x1301);  // has a boot code, runs its user code
  const auto firmware = makeFirmware(0x13, 0x01, 2);
  connection->setResponder([](const MidiBytes&) { return std::vector<MidiBytes>{}; });
  ASSERT_TRUE(programmer.programDevice(device, {dir.write("a_fwu.syx", firmware)}));
  for (const auto& call : connection->calls()) EXPECT_EQ(call.kind, FakeConnection::Kind::Free);
  // begin 25, erase 500, data 25 each, then 50 after the file.
  EXPECT_EQ(sleeps, (std::vector<int>{25, 500, 25, 25, 50}));
}

TEST_F(ProgrammerTest, CancelBetweenMessagesStopsTheRunAndNamesWhereItStopped) {
  useDevice(0x1343);
  const std::string first = dir.write("a_fwu.syx", makeFirmware(0x13, 0x43, 20));
  const std::string second = dir.write("b_fwu.syx", makeFirmware(0x13, 0x43, 2));
  int acknowledged = 0;
  connection->setResponder([&](const MidiBytes& request) -> std::vector<MidiBytes> {
    if (!isFirmware(request)) return {};
    if (++acknowledged == 12) programmer.cancel();
    return {ackFor(request, 0)};
  });
  EXPECT_FALSE(programmer.programDevice(device, {first, second}));
  ASSERT_EQ(cancels.size(), 1u);
  EXPECT_EQ(cancels[0], "CANCEL! msgSentCnt: 12, totalMsgCount: 22, successRetryPhase: 1");
  // The second file is not started.
  EXPECT_EQ(firmwareSent().size(), 12u);
  EXPECT_FALSE(trace.contains("start load: " + second));
}

TEST_F(ProgrammerTest, ALongClosingResetIsClampedToTenSeconds) {
  // A table whose closing message asks for a 0x7F 0x7F (16383 ms) reset.
  struct SlowReset : CommandTableInterface {
    SlowReset() : CommandTableInterface(*findCommandTableRow(0x1701)) {}
    MidiBytes lastProgrammingMsg() const override {
      return {0xF0, 0x00, 0x2B, 0x5E, 0x17, 0x01, 0x1B, 0x7F, 0x7F, 0xF7};
    }
  };
  useDevice(0x1701);
  device->deviceInterface = std::make_shared<SlowReset>();
  ASSERT_TRUE(programmer.programDevice(device, {dir.write("a_fwu.syx", makeFirmware(0x17, 0x01, 1))}));
  EXPECT_EQ(sleeps, (std::vector<int>{50, 10000, 250}));
}

TEST_F(ProgrammerTest, AClosedConnectionFailsWithoutWaiting) {
  useDevice(0x1701);
  connection->setOpen(false);
  EXPECT_FALSE(programmer.programDevice(device, {dir.write("a_fwu.syx", makeFirmware(0x17, 0x01, 2))}));
  EXPECT_TRUE(connection->sent().empty());
}

}  // namespace
