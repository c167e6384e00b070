// The family 0x12 boot-control protocol against a scripted pedal.
#include <gtest/gtest.h>

#include <map>

#include "FakeConnection.h"
#include "Updater/plugins/Ventrix/VxBootControl.h"

using Updater::VxBootCodeInfo;
using Updater::VxBootControl;
using Updater::VxCodeBankInfo;
using Updater::VxIdentiyInfo;
using velorin::test::FakeConnection;
using velorin::test::hex;
using velorin::test::TraceCapture;

namespace {

const MidiBytes kIdentityRequest = hex("F0 7E 7F 06 01 F7");
const MidiBytes kIdentityReply1201 = hex("F0 7E 00 06 02 00 2B 5E 12 00 01 00 00 31 30 30 F7");
const MidiBytes kBank0Request = hex("F0 00 2B 5E 42 08 F7");
const MidiBytes kBank1Request = hex("F0 00 2B 5E 42 09 F7");
const MidiBytes kRecovery = hex("F0 00 2B 5E 42 11 F7");
const MidiBytes kExit = hex("F0 00 2B 5E 42 01 F7");
const MidiBytes kReset1201 = hex("F0 00 2B 5E 12 01 1B F7");
// Bank 0, version "0100", size 0x100000, active.
const MidiBytes kBankReply =
    hex("F0 00 2B 5E 42 08 30 31 30 30 00 00 01 00 00 00 00 00 01 F7");

VxIdentiyInfo identity1201() {
  VxIdentiyInfo id;
  id.fid = 0x12;
  id.pid = 0x01;
  return id;
}

// A pedal answering from a table of exact requests.
struct ScriptedPedal {
  std::map<MidiBytes, std::vector<MidiBytes>> replies;
  FakeConnection::Responder responder() {
    return [this](const MidiBytes& request) -> std::vector<MidiBytes> {
      auto it = replies.find(request);
      return it == replies.end() ? std::vector<MidiBytes>{} : it->second;
    };
  }
};

class BootControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    connection = std::make_shared<FakeConnection>();
    connection->setResponder(pedal.responder());
    control = std::make_unique<VxBootControl>(connection, identity1201());
    control->setSleepFunction([this](int ms) { sleeps.push_back(ms); });
  }

  std::vector<MidiBytes> sent() { return connection->sent(); }
  size_t count(const MidiBytes& request) {
    size_t n = 0;
    for (const MidiBytes& m : sent()) n += m == request;
    return n;
  }

  ScriptedPedal pedal;
  std::shared_ptr<FakeConnection> connection;
  std::unique_ptr<VxBootControl> control;
  std::vector<int> sleeps;
  TraceCapture trace;
};

TEST_F(BootControlTest, IdentifyFillsTheRecordFromTheReplyAndTimesOutAfterThreeSeconds) {
  pedal.replies[kIdentityRequest] = {kIdentityReply1201};
  VxIdentiyInfo out;
  ASSERT_TRUE(control->identify(out));
  EXPECT_EQ(out.fid, 0x12);
  EXPECT_EQ(out.pid, 0x01);
  EXPECT_TRUE(trace.contains("BootControl Id Result: 4609\n"));

  pedal.replies.clear();
  connection->clearCalls();
  EXPECT_FALSE(control->identify(out));
  ASSERT_EQ(connection->calls().size(), 1u);
  EXPECT_EQ(connection->calls()[0].request, kIdentityRequest);
  EXPECT_EQ(connection->calls()[0].timeout, 3000);
  EXPECT_TRUE(trace.contains("Timeout waiting for identity response in BootControl\n"));
}

TEST_F(BootControlTest, ATruncatedIdentityReplyIsNotReadPastItsEnd) {
  // Agrees with the trigger's first bytes but holds no product byte.
  pedal.replies[kIdentityRequest] = {hex("F0 7E 00 06 02 00 2B 5E 12")};
  VxIdentiyInfo out;
  EXPECT_FALSE(control->identify(out));
  EXPECT_EQ(out.fid, 0);
}

TEST_F(BootControlTest, PrivateResetCarriesTheStoredIdentity) {
  pedal.replies[kIdentityRequest] = {kIdentityReply1201};
  EXPECT_EQ(control->makePrivateResetCmd().bytes(), kReset1201);
  ASSERT_TRUE(control->privateReset());
  EXPECT_EQ(sent().back(), kReset1201);
  EXPECT_EQ(connection->calls().back().kind, FakeConnection::Kind::Free);

  pedal.replies.clear();
  EXPECT_EQ(control->makePrivateResetCmd().length(), 0u);
  EXPECT_TRUE(trace.contains("No response from identity request\n"));
  EXPECT_FALSE(control->privateReset());
}

TEST_F(BootControlTest, EnableBootcodeWithThePedalAlreadyInBootCodeOnlyProbes) {
  pedal.replies[kBank0Request] = {kBankReply};
  EXPECT_TRUE(control->enableBootcode());
  EXPECT_EQ(sent(), std::vector<MidiBytes>{kBank0Request});
  EXPECT_EQ(connection->calls()[0].timeout, 400);
}

TEST_F(BootControlTest, EnableBootcodeWithoutIdentityReplySendsNothingElse) {
  EXPECT_FALSE(control->enableBootcode());
  const auto calls = connection->calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].request, kBank0Request);
  EXPECT_EQ(calls[0].timeout, 400);
  EXPECT_EQ(calls[1].request, kIdentityRequest);
  EXPECT_EQ(calls[1].timeout, 3000);
}

TEST_F(BootControlTest, EnableBootcodeGivesUpAfterFortyUnansweredAttempts) {
  pedal.replies[kIdentityRequest] = {kIdentityReply1201};
  EXPECT_FALSE(control->enableBootcode());
  EXPECT_EQ(count(kRecovery), 40u);
  EXPECT_EQ(count(kReset1201), 1u);
  const auto calls = connection->calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back().request, kExit);
  EXPECT_EQ(calls.back().kind, FakeConnection::Kind::Plain);
  EXPECT_EQ(calls.back().timeout, 2000);
  for (const auto& c : calls) {
    if (c.request == kRecovery) {
      EXPECT_EQ(c.timeout, 300);
    }
  }
  EXPECT_TRUE(trace.contains("Timeout entering boot code"));
  // 50 ms after the reset, 20 ms after each attempt.
  ASSERT_EQ(sleeps.size(), 41u);
  EXPECT_EQ(sleeps[0], 50);
  EXPECT_EQ(sleeps[1], 20);
}

TEST_F(BootControlTest, EnableBootcodeStopsAtTheFirstReplyAndJudgesIt) {
  struct Case {
    const char* reply;
    bool bootAfterwards;
    bool expected;
    const char* text;
  };
  const Case cases[] = {
      {"F0 00 2B 5E 42 11 00 F7", true, true, "Device is running boot code"},
      {"F0 00 2B 5E 42 11 00 F7", false, false, "Failed to verify device is in boot code\n"},
      {"F0 00 2B 5E 42 11 01 F7", true, false, "The device has rejected the enable recovery command"},
      {"F0 00 2B 5E 42 11 02 F7", true, false, "Device has failed the enabled recovery command"},
      {"F0 00 2B 5E 42 11 05 F7", true, false, "Timeout entering boot code"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    SetUp();
    TraceCapture caseTrace;
    int recoveries = 0;
    const bool bootAfterwards = c.bootAfterwards;
    const MidiBytes reply = hex(c.reply);
    // The boot code answers the third attempt; the bank probe only once it runs.
    connection->setResponder([&](const MidiBytes& request) -> std::vector<MidiBytes> {
      if (request == kIdentityRequest) return {kIdentityReply1201};
      if (request == kRecovery) return ++recoveries == 3 ? std::vector<MidiBytes>{reply}
                                                         : std::vector<MidiBytes>{};
      if (request == kBank0Request && recoveries > 0 && bootAfterwards) return {kBankReply};
      if (request == kExit) return {kIdentityReply1201};
      return {};
    });
    EXPECT_EQ(control->enableBootcode(), c.expected);
    EXPECT_EQ(recoveries, 3);
    EXPECT_TRUE(caseTrace.contains(c.text)) << caseTrace.text();
    // An exit follows an unverified or unexpected acceptance, and it does not
    // turn the failure into success even though the pedal answers it.
    const bool exitExpected = !c.expected && std::string(c.text).find("reject") == std::string::npos &&
                              std::string(c.text).find("failed the") == std::string::npos;
    EXPECT_EQ(count(kExit), exitExpected ? 1u : 0u);
  }
}

TEST_F(BootControlTest, CheckPidWaitsForTheProductNibbles) {
  const MidiBytes request = hex("F0 00 2B 5E 42 0D 02 00 0F 0F 0F 0F 08 F7");
  pedal.replies[request] = {hex("F0 00 2B 5E 42 0D 02 00 0F 0F 0F 0F 08 04 02 00 00 F7")};
  EXPECT_TRUE(control->checkPid(0x0402));
  EXPECT_EQ(connection->calls().back().timeout, 400);
  EXPECT_FALSE(control->checkPid(0x0403));
  EXPECT_FALSE(control->checkPid(0x0102));
}

TEST_F(BootControlTest, WriteFirmwareMessageJudgesTheAcknowledgement) {
  struct Case {
    std::vector<const char*> replies;
    bool expected;
    const char* text;
  };
  const Case cases[] = {
      {{"F0 00 2B 5E 42 0C 00 F7"}, true, ""},
      {{"F0 00 2B 5E 42 0C 01 F7"}, false, "kFUBad\n"},
      {{"F0 00 2B 5E 42 0C 02 F7"}, false, "kFUFailed\n"},
      {{"F0 00 2B 5E 42 0C 07 F7"}, false, "Unknown response: F0 00 2B 5E 42 0C 07 F7\n"},
      // Not an acknowledgement at all: the wait times out.
      {{"F0 00 2B 5E 42 0D 00 F7"}, false, "Timeout waiting on F0 00 2B 5E 42 0C 04 00 03 01 F7 \n"},
      {{}, false, "Timeout waiting on "},
  };
  for (const Case& c : cases) {
    SetUp();
    TraceCapture caseTrace;
    std::vector<MidiBytes> replies;
    for (const char* r : c.replies) replies.push_back(hex(r));
    connection->setResponder([&](const MidiBytes&) { return replies; });
    VxMidiData msg(hex("F0 00 2B 5E 42 0C 04 00 00 01 F7"));
    EXPECT_EQ(control->writeFirmwareUpdateMsg(msg, 2000), c.expected);
    // Byte 8 becomes "write" in the caller's message, answered or not.
    EXPECT_EQ(msg[8], 0x03);
    ASSERT_EQ(connection->calls().size(), 1u);
    EXPECT_EQ(connection->calls()[0].request, msg.bytes());
    EXPECT_EQ(connection->calls()[0].timeout, 2000);
    EXPECT_TRUE(caseTrace.contains(c.text)) << caseTrace.text();
  }
}

TEST_F(BootControlTest, WriteFirmwareMessageRefusesAShortMessageWithoutSending) {
  pedal.replies[hex("F0 00 2B 5E 42 0C 04 F7")] = {hex(VxBootControl::kFUGood)};
  VxMidiData msg(hex("F0 00 2B 5E 42 0C 04 F7"));
  EXPECT_FALSE(control->writeFirmwareUpdateMsg(msg, 2000));
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(msg.bytes(), hex("F0 00 2B 5E 42 0C 04 F7"));
}

TEST_F(BootControlTest, ExitBootWaitsForTheUserCodesIdentity) {
  EXPECT_FALSE(control->exitBoot());
  EXPECT_EQ(connection->calls().back().timeout, 4000);
  pedal.replies[kExit] = {kIdentityReply1201};
  EXPECT_TRUE(control->exitBoot());
  VxIdentiyInfo out;
  EXPECT_TRUE(control->exitBoot(&out));
  EXPECT_EQ(out.getShortFidpid(), 0x1201);
}

TEST(CodeBankInfo, ReadsSizeVersionAndStateOrNothing) {
  VxCodeBankInfo bank;
  bank.init(VxMidiData(kBankReply));
  EXPECT_TRUE(bank.present);
  EXPECT_TRUE(bank.isOk());
  EXPECT_EQ(bank.codeSize, 0x100000);
  EXPECT_TRUE(bank.active);
  // Three of the four version characters, as the message object renders them.
  EXPECT_EQ(bank.codeVersion, "30 31 30");

  bank.init(VxMidiData(hex("F0 00 2B 5E 42 09 02 F7")));
  EXPECT_FALSE(bank.present);
  EXPECT_FALSE(bank.isOk());

  bank.init(VxMidiData(hex("F0 00 2B 5E 42 0A 02 F7")));
  EXPECT_FALSE(bank.present);
  EXPECT_EQ(bank.codeSize, -1);
}

TEST_F(BootControlTest, BootCodeInfoAsksForBothBanks) {
  pedal.replies[kBank0Request] = {kBankReply};
  pedal.replies[kBank1Request] = {hex("F0 00 2B 5E 42 09 02 F7")};
  pedal.replies[kIdentityRequest] = {kIdentityReply1201};
  VxBootCodeInfo info;
  EXPECT_TRUE(control->getBootCodeInfo(info));
  EXPECT_TRUE(info.bank0.isOk());
  EXPECT_FALSE(info.bank1.present);
  EXPECT_EQ(control->getBankInfoString(), "");

  pedal.replies.erase(kBank0Request);
  EXPECT_FALSE(control->getBootCodeInfo(info));
  EXPECT_EQ(control->getBankInfoString(), "Failed to access boot code information");
}

TEST_F(BootControlTest, ActivateBankNeedsBothStepsAcknowledged) {
  EXPECT_FALSE(control->activateBank(2));
  EXPECT_TRUE(sent().empty());
  EXPECT_TRUE(trace.contains("Invalid bank number specified\n"));

  pedal.replies[kBank0Request] = {kBankReply};
  pedal.replies[hex("F0 00 2B 5E 42 03 F7")] = {hex("F0 00 2B 5E 42 03 00 F7")};
  pedal.replies[hex("F0 00 2B 5E 42 04 F7")] = {hex("F0 00 2B 5E 42 04 00 F7")};
  EXPECT_TRUE(control->activateBank(1));

  // The second step's own acknowledgement is required; the first step's
  // does not count for it.
  pedal.replies.erase(hex("F0 00 2B 5E 42 04 F7"));
  EXPECT_FALSE(control->activateBank(1));
  EXPECT_EQ(sent().back(), hex("F0 00 2B 5E 42 04 F7"));

  connection->clearCalls();
  EXPECT_FALSE(control->activateBank(0));
  EXPECT_EQ(sent(), (std::vector<MidiBytes>{kBank0Request, hex("F0 00 2B 5E 42 02 F7")}));

  pedal.replies.clear();
  EXPECT_FALSE(control->activateBank(0));
  EXPECT_TRUE(trace.contains("not in boot code, can't activate a bank\n"));
}

}  // namespace
