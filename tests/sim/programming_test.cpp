// Firmware messages, acknowledgements and what the flash holds afterwards.
#include "SimTestUtil.h"

using namespace simtest;
using PedalSim::Mode;

namespace {

// Acknowledgement expressions as the updater's tables hold them.
std::string styleB(const char* fid, const char* status) {
  return std::string("F0 00 2B 5E ") + fid + " .. 4[23] 0C " + status + " F7";
}
std::string styleA(const char* fid, const char* status) {
  return std::string("F0 00 2B 5E ") + fid + " .. 4[23] " + status + " F7";
}

bool allMatch(const std::vector<MidiBytes>& acks, const std::string& expression) {
  for (const auto& a : acks) {
    if (!matchesExpression(expression, a)) {
      ADD_FAILURE() << spaced(a) << " does not match " << expression;
      return false;
    }
  }
  return !acks.empty();
}

void toUser(Sim& s, uint8_t fid, uint8_t loader = 0x00) {
  const uint8_t pid = s.engine.currentPid();
  s.send(MidiBytes{0xF0, 0x00, 0x2B, 0x5E, fid, pid, 0x1C, loader, 0xF7});
  s.send(MidiBytes{0xF0, 0x00, 0x2B, 0x5E, fid, pid, 0x1B, 0x09, 0x58, 0xF7});
  s.wait(1240);
}

}  // namespace

TEST(Programming, BootCodePedalTakesAFileAndReportsItsVersion) {
  Sim s("type=1303 mode=boot version=1.02");
  const auto fw = firmware("1303", "1.25b");
  const auto acks = s.program(fw.messages);
  EXPECT_EQ(acks.size(), fw.messages.size() - 1);  // all but the trailing 7-byte message
  EXPECT_TRUE(allMatch(acks, styleB("13", "00")));
  for (const auto& a : acks) EXPECT_TRUE(triggers("F0 00 2B 5E 13 43 4[23] 0C .. F7", a));  // "any", own product byte

  toUser(s, 0x13, 0x03);
  ASSERT_EQ(s.engine.mode(), Mode::User);
  const MidiBytes id = s.ask("F0 7E 7F 06 01 F7");
  EXPECT_EQ(MidiBytes(id.begin() + 12, id.begin() + 16), (MidiBytes{'9', '1', '2', '5'}));
  EXPECT_EQ(spaced(s.ask("F0 00 2B 5E 13 03 2E F7")), "F0 00 2B 5E 13 03 2E 09 01 02 05 F7");
  EXPECT_EQ(PedalSim::Fw::sha256Hex(s.engine.region(0).image()), PedalSim::Fw::sha256Hex(fw.image));
  EXPECT_EQ(s.engine.region(0).present, 8u);
}

TEST(Programming, UserCodePedalTakesAFileAndRestartsOnTheClosingReset) {
  Sim s("type=1702 version=1.00");
  const auto fw = firmware("1702", "1.31");
  EXPECT_EQ(fw.messages[0][5], 0x02);  // programmed in user code: product byte as is
  EXPECT_TRUE(allMatch(s.program(fw.messages), styleA("17", "00")));
  // The closing message: F0 00 2B 5E 17 02 1B 02 00 F7, a reset after 256 ms.
  EXPECT_TRUE(s.send("F0 00 2B 5E 17 02 1B 02 00 F7").empty());
  EXPECT_FALSE(s.engine.hasPorts());
  s.wait(256);
  EXPECT_EQ(s.engine.mode(), Mode::User);
  const MidiBytes id = s.ask("F0 7E 7F 06 01 F7");
  EXPECT_EQ(MidiBytes(id.begin() + 12, id.begin() + 16), (MidiBytes{'0', '1', '3', '1'}));
}

TEST(Programming, DspFileUpdatesTheBankInformation) {
  Sim s("type=1303 mode=boot dsp=1.00");
  const auto fw = firmware("1303", "1.07", true);
  const auto acks = s.program(fw.messages);
  EXPECT_TRUE(allMatch(acks, styleB("13", "00")));
  const MidiBytes bank = s.ask("F0 00 2B 5E 13 43 42 08 F7");
  ASSERT_GT(bank.size(), 20u);
  EXPECT_EQ(MidiBytes(bank.begin() + 8, bank.begin() + 12), (MidiBytes{'0', '1', '0', '7'}));
  EXPECT_EQ(bank[20], 0x01);
}

TEST(Programming, IncompleteProgrammingLeavesBrokenUserCodeThatALaterUpdateRepairs) {
  Sim s("type=1303 mode=boot version=1.02");
  const auto fw = firmware("1303", "1.25");
  s.program(fw.messages, 0, fw.messages.size() / 2);  // begin, erase, some blocks
  toUser(s, 0x13, 0x03);
  EXPECT_EQ(s.engine.mode(), Mode::Boot) << "no valid user code: the loader keeps the boot code";
  EXPECT_EQ(s.engine.inPortName(), "Kesmet Update");
  EXPECT_EQ(spaced(s.ask("F0 00 2B 5E 13 43 2E F7")), "F0 00 2B 5E 13 43 2E 46 F7");

  EXPECT_TRUE(allMatch(s.program(fw.messages), styleB("13", "00")));
  toUser(s, 0x13, 0x03);
  EXPECT_EQ(s.engine.mode(), Mode::User);
  EXPECT_EQ(PedalSim::versionText(s.engine.userVersion()), "1.25");
}

TEST(Programming, UserCodePedalLeftHalfProgrammedComesBackInBootCode) {
  Sim s("type=1706");
  const auto fw = firmware("1706", "2.00");
  s.program(fw.messages, 0, 5);
  s.send("F0 00 2B 5E 17 06 1B 02 00 F7");
  s.wait(256);
  EXPECT_EQ(s.engine.mode(), Mode::Boot);
  EXPECT_EQ(s.engine.outPortName(), "Corvel Update");
  // The boot code takes the same file (recovery).
  EXPECT_TRUE(allMatch(s.program(fw.messages), styleA("17", "00")));
  s.send("F0 00 2B 5E 17 46 1B 02 00 F7");
  s.wait(256);
  EXPECT_EQ(s.engine.mode(), Mode::User);
}

TEST(Programming, BadAndFailedAcknowledgements) {
  const auto fw = firmware("1303", "1.25");
  {
    // A block with a wrong checksum is rejected: bad.
    Sim s("type=1303 mode=boot");
    s.program(fw.messages, 0, 3);
    MidiBytes broken = fw.messages[3];
    broken[20] ^= 0x01;
    EXPECT_TRUE(matchesExpression(styleB("13", "01"), s.ask(spaced(broken))));
  }
  {
    // A missing block makes the file check fail: failed, code still invalid.
    Sim s("type=1303 mode=boot");
    for (size_t i = 0; i < fw.messages.size(); ++i) {
      if (i == 4 || fw.messages[i].size() == 7) continue;
      const auto acks = s.send(fw.messages[i]);
      ASSERT_EQ(acks.size(), 1u);
      if (i + 2 == fw.messages.size()) {
        EXPECT_TRUE(matchesExpression(styleB("13", "02"), acks[0]));
      }
    }
    EXPECT_FALSE(s.engine.userCodeValid());
  }
}

TEST(Programming, WhichFilesEachModeTakes) {
  const auto bootFile = firmware("1303", "1.25");  // product byte 43
  Sim user("type=1303");
  EXPECT_TRUE(user.send(bootFile.messages[0]).empty()) << "user code does not take boot-code files";

  PedalSim::Fw::FirmwareSpec spec;
  PedalSim::findType("1302", spec.type);
  spec.version = {1, 11, false};
  const auto dorvik = PedalSim::Fw::build(spec);  // product byte 42
  Sim boot("type=1302 mode=boot");                // the shared boot code, 13 41
  const auto acks = boot.program(dorvik.messages);
  EXPECT_TRUE(allMatch(acks, styleB("13", "00")));
  EXPECT_EQ(acks[0][5], 0x41);
  EXPECT_TRUE(boot.engine.userCodeValid());
}

TEST(Ventrix, BootControlProtocolEndToEnd) {
  Sim s("type=1202 version=1.00 restart=100 window=1500");
  EXPECT_EQ(s.ask("F0 7E 7F 06 01 F7")[10], 0x02);
  EXPECT_TRUE(s.send("F0 00 2B 5E 42 08 F7").empty()) << "user code does not answer the boot-code probe";

  // Private reset, then enable-recovery attempts as the updater sends them.
  EXPECT_TRUE(s.send("F0 00 2B 5E 12 02 1B F7").empty());
  EXPECT_TRUE(s.engine.hasPorts()) << "family 0x12 keeps its ports across restarts";
  s.wait(50);
  EXPECT_TRUE(s.send("F0 00 2B 5E 42 11 F7").empty()) << "still restarting";
  s.wait(320);
  EXPECT_TRUE(triggers("F0 00 2B 5E 42 11 .. F7", s.ask("F0 00 2B 5E 42 11 F7")));
  EXPECT_EQ(s.engine.mode(), Mode::Boot);
  s.wait(5000);
  EXPECT_EQ(s.engine.mode(), Mode::Boot) << "held in boot code";

  const MidiBytes bank0 = s.ask("F0 00 2B 5E 42 08 F7");
  EXPECT_TRUE(triggers("F0 00 2B 5E 42 0[89] .. ..", bank0));
  EXPECT_TRUE(triggers("F0 00 2B 5E 42 0[89] .. .. .. .. .. .. .. .. .. .. .. .. .. F7", bank0));
  ASSERT_EQ(bank0.size(), 20u);
  EXPECT_EQ(bank0[18], 0x01);  // active
  EXPECT_EQ(spaced(s.ask("F0 00 2B 5E 42 09 F7")), "F0 00 2B 5E 42 09 02 F7");
  EXPECT_TRUE(triggers(buildString("F0 00 2B 5E 42 0D 02 00 0F 0F 0F 0F 08 0%1 0%2 .. .. F7", {0x00, 0x02}),
                       s.ask("F0 00 2B 5E 42 0D 02 00 0F 0F 0F 0F 08 F7")));

  // The file as the update procedure sends it: header dropped, byte 8 = 03.
  const auto fw = firmware("1202", "2.05b");
  EXPECT_NE(spaced(fw.messages[0]).find("00 2B 5E 12 02"), std::string::npos);
  for (size_t i = 1; i < fw.messages.size(); ++i) {
    MidiBytes m = fw.messages[i];
    ASSERT_GE(m.size(), 9u);
    EXPECT_NE(m, bytes("F0 00 2B 5E 42 11 F7"));
    EXPECT_NE(m, bytes("F0 00 2B 5E 42 01 F7"));
    m[8] = 0x03;
    EXPECT_EQ(spaced(s.ask(spaced(m))), "F0 00 2B 5E 42 0C 00 F7");
  }
  // Leave boot code: the identity reply follows the restart.
  EXPECT_TRUE(s.send("F0 00 2B 5E 42 01 F7").empty());
  const auto after = s.wait(100);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_TRUE(triggers("F0 7E .. 06 02 00 2B 5E", after[0]));
  EXPECT_EQ(after[0][10], 0x02);
  EXPECT_EQ(MidiBytes(after[0].begin() + 12, after[0].begin() + 16), (MidiBytes{'9', '2', '0', '5'}));
}

TEST(Ventrix, WithoutEnableRecoveryTheUserCodeStartsAgain) {
  Sim s("type=1201 restart=100 window=1500");
  s.send("F0 00 2B 5E 12 01 1B F7");
  s.wait(100);
  EXPECT_TRUE(s.send("F0 00 2B 5E 42 08 F7").empty()) << "the waiting boot code hears only enable-recovery";
  s.wait(1500);
  EXPECT_EQ(s.engine.mode(), Mode::User);
}

TEST(Ventrix, WriteWithoutTheWriteOperationAndBankActivation) {
  Sim s("type=1203 mode=boot");
  const auto fw = firmware("1203", "1.50");
  EXPECT_EQ(spaced(s.ask(spaced(fw.messages[1]))), "F0 00 2B 5E 42 0C 01 F7") << "byte 8 not set to 03";

  // Bank 1 holds nothing yet: its activation fails; the two steps in order.
  EXPECT_EQ(spaced(s.ask("F0 00 2B 5E 42 03 F7")), "F0 00 2B 5E 42 03 00 F7");
  EXPECT_EQ(spaced(s.ask("F0 00 2B 5E 42 04 F7")), "F0 00 2B 5E 42 04 02 F7");
  EXPECT_EQ(spaced(s.ask("F0 00 2B 5E 42 05 F7")), "F0 00 2B 5E 42 05 01 F7") << "second step without the first";
  EXPECT_EQ(spaced(s.ask("F0 00 2B 5E 42 02 F7")), "F0 00 2B 5E 42 02 00 F7");
  EXPECT_EQ(spaced(s.ask("F0 00 2B 5E 42 05 F7")), "F0 00 2B 5E 42 05 00 F7");
  EXPECT_EQ(s.engine.activeBank(), 0);
}
