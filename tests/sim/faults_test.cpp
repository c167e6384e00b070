// Each fault switch changes what the pedal does.
#include "SimTestUtil.h"

using namespace simtest;
using PedalSim::Mode;

namespace {

// Which of the acknowledgements of a file the pedal sends, as 1/0 flags.
std::string ackPattern(const std::string& config, const PedalSim::Fw::Firmware& fw) {
  Sim s(config);
  std::string flags;
  for (const auto& m : fw.messages) {
    if (m.size() == 7) continue;
    flags += s.send(m).empty() ? '0' : '1';
  }
  return flags;
}

}  // namespace

TEST(Faults, DroppedAcknowledgementsFollowTheSeed) {
  const auto fw = firmware("1303", "1.25", false, 200);
  const std::string a = ackPattern("type=1303 mode=boot drop=0.3 seed=7", fw);
  const size_t dropped = static_cast<size_t>(std::count(a.begin(), a.end(), '0'));
  EXPECT_GT(dropped, a.size() / 10);
  EXPECT_LT(dropped, a.size() / 2);
  EXPECT_EQ(a, ackPattern("type=1303 mode=boot drop=0.3 seed=7", fw));
  EXPECT_NE(a, ackPattern("type=1303 mode=boot drop=0.3 seed=8", fw));
  EXPECT_EQ(ackPattern("type=1303 mode=boot", fw), std::string(a.size(), '1'));
  // Identity and other queries are not firmware acknowledgements.
  Sim s("type=1303 drop=1");
  EXPECT_EQ(s.send("F0 7E 7F 06 01 F7").size(), 1u);
}

TEST(Faults, RefusedMessagesAndWhatTheyLeave) {
  const auto fw = firmware("1702", "1.50");
  Sim s("type=1702 refuse=3:bad,5:failed");
  const auto acks = s.program(fw.messages);
  ASSERT_GE(acks.size(), 5u);
  EXPECT_TRUE(matchesExpression("F0 00 2B 5E 17 .. 4[23] 00 F7", acks[1]));
  EXPECT_TRUE(matchesExpression("F0 00 2B 5E 17 .. 4[23] 01 F7", acks[2]));
  EXPECT_TRUE(matchesExpression("F0 00 2B 5E 17 .. 4[23] 02 F7", acks[4]));
  EXPECT_FALSE(s.engine.userCodeValid()) << "refused blocks are not written";
  // A retry of the same file (messages 3 and 5 are behind us) succeeds.
  s.program(fw.messages);
  EXPECT_TRUE(s.engine.userCodeValid());

  Sim all("type=1303 mode=boot refuse=all:failed");
  const auto kesmet = firmware("1303", "1.50");
  const auto refusedAll = all.program(kesmet.messages);
  EXPECT_EQ(refusedAll.size(), kesmet.messages.size() - 1);
  for (const auto& a : refusedAll) EXPECT_TRUE(matchesExpression("F0 00 2B 5E 13 .. 4[23] 0C 02 F7", a));
  EXPECT_EQ(all.engine.region(0).blocksWritten, 0u);
}

TEST(Faults, DelayedReplies) {
  Sim s("type=1303 delay=250");
  s.send("F0 7E 7F 06 01 F7");
  EXPECT_EQ(s.lastDelays, std::vector<PedalSim::Millis>{250});
}

TEST(Faults, VanishAfterMessageK) {
  Sim s("type=1303 vanish=3");
  EXPECT_EQ(s.send("F0 7E 7F 06 01 F7").size(), 1u);
  EXPECT_EQ(s.send("F0 7E 7F 06 01 F7").size(), 1u);
  EXPECT_EQ(s.send("F0 7E 7F 06 01 F7").size(), 1u);  // the third still answered
  EXPECT_FALSE(s.engine.hasPorts());
  EXPECT_TRUE(s.send("F0 7E 7F 06 01 F7").empty());
  s.wait(60000);
  EXPECT_FALSE(s.engine.hasPorts());
}

TEST(Faults, NeverComesBackAfterAReset) {
  Sim s("type=1303 noreturn=1");
  s.send("F0 00 2B 5E 13 03 1C 02 F7");
  s.send("F0 00 2B 5E 13 03 1B 09 58 F7");
  EXPECT_FALSE(s.engine.nextDeadline().has_value());
  s.wait(60000);
  EXPECT_FALSE(s.engine.hasPorts());
  EXPECT_TRUE(s.send("F0 7E 7F 06 01 F7").empty());
}

TEST(Faults, IgnoredLoaderSelection) {
  Sim s("type=1303 ignoreloader=1");
  s.send("F0 00 2B 5E 13 03 1C 02 F7");
  s.send("F0 00 2B 5E 13 03 1B 09 58 F7");
  s.wait(1240);
  EXPECT_EQ(s.engine.mode(), Mode::User);
  EXPECT_EQ(s.engine.inPortName(), "Kesmet");

  Sim v("type=1202 ignoreloader=1");
  v.send("F0 00 2B 5E 12 02 1B F7");
  v.wait(100);
  EXPECT_TRUE(v.send("F0 00 2B 5E 42 11 F7").empty());
  v.wait(2000);
  EXPECT_EQ(v.engine.mode(), Mode::User);
}

TEST(Faults, GarbageReplies) {
  Sim clean("type=1303");
  Sim garbled("type=1303 garbage=1 seed=3");
  const MidiBytes good = clean.ask("F0 7E 7F 06 01 F7");
  const MidiBytes bad = garbled.ask("F0 7E 7F 06 01 F7");
  ASSERT_EQ(bad.size(), good.size());
  EXPECT_EQ(bad.front(), 0xF0);
  EXPECT_EQ(bad.back(), 0xF7);
  EXPECT_NE(bad, good);
  EXPECT_FALSE(triggers("F0 7E .. 06 02 00 2B 5E", bad));
}

TEST(Scenario, ParsesLinesAndNamesErrors) {
  std::vector<PedalSim::PedalConfig> pedals;
  std::string error;
  ASSERT_TRUE(PedalSim::parseScenario(
      "# two pedals behind one interface, one on its own port\n"
      "type=1702 esn=01020304050607 version=1.25b port=\"USB MIDI Interface\"\n"
      "\n"
      "type=\"Ros Mund\" port=\"USB MIDI Interface\"   # same type, chained\n"
      "type=Kesmet mode=boot valid=0 drop=0.25 seed=9 refuse=4:failed delay=10\n",
      pedals, error))
      << error;
  ASSERT_EQ(pedals.size(), 3u);
  EXPECT_EQ(pedals[0].port, "USB MIDI Interface");
  EXPECT_TRUE(pedals[0].user.beta);
  EXPECT_EQ(pedals[1].type.fidpid, 0x1702);
  EXPECT_NE(pedals[0].esn, pedals[1].esn);
  EXPECT_EQ(pedals[2].faults.refuse.at(4), PedalSim::Faults::Failed);
  EXPECT_FALSE(pedals[2].userValid);

  pedals.clear();
  EXPECT_FALSE(PedalSim::parseScenario("type=1303\ntype=1303 colour=red\n", pedals, error));
  EXPECT_EQ(error, "line 2: unknown key \"colour\"");
  EXPECT_FALSE(PedalSim::parseScenario("type=9999\n", pedals, error));
  EXPECT_FALSE(PedalSim::parseScenario("version=1.00\n", pedals, error));
  EXPECT_FALSE(PedalSim::parseScenario("type=1303 esn=80000000000000\n", pedals, error));
  EXPECT_FALSE(PedalSim::parseScenario("type=1303 drop=1.5\n", pedals, error));
}
