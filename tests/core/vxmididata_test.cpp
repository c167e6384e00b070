#include "Updater/plugins/Ventrix/VxMidiData.h"

#include <gtest/gtest.h>

namespace {

TEST(VxMidiData, BuildsFromTextAndPrintsSpacedHex) {
  const VxMidiData m("F0 7E 7F 06 01 F7");
  EXPECT_EQ(m.length(), 6u);
  EXPECT_EQ(m.toString(), "F0 7E 7F 06 01 F7");
  EXPECT_EQ(m.toString(','), "F0 7E 7F 06 01 F7");  // the separator is ignored
  EXPECT_EQ(m[1], 0x7E);

  const VxMidiData odd("F0 7E 7F 06 01 F");
  EXPECT_EQ(odd.length(), 0u);

  const VxMidiData empty;
  EXPECT_EQ(empty.length(), 0u);
  EXPECT_EQ(empty.toString(), "");
  EXPECT_FALSE(empty.match("F0"));
  EXPECT_TRUE(empty.match(""));
}

TEST(VxMidiData, ValueSubstitution) {
  VxMidiData m(MidiBytes{0x01, 0x02});
  m.setData("F0 00 2B 5E vv vv 2E F7", 0x17, 0x01);
  EXPECT_EQ(m.data(), (MidiBytes{0xF0, 0x00, 0x2B, 0x5E, 0x17, 0x01, 0x2E, 0xF7}));

  m.setData("F0 7E vv 06 01 F7", 0x7F);
  EXPECT_EQ(m.data(), (MidiBytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}));

  // Three digits make the text odd: the old bytes are gone and nothing is left.
  m.setData("F0 7E vv 06 01 F7", 0x100);
  EXPECT_EQ(m.length(), 0u);

  // A token without its argument must not turn into bytes that were never asked for.
  m.setData("F0 00 2B 5E vv vv 2E F7", 0x17);
  EXPECT_EQ(m.length(), 0u);
}

TEST(VxMidiData, ValueSemantics) {
  VxMidiData a("F0 01 F7");
  VxMidiData b = a;
  b[1] = 0x02;
  EXPECT_EQ(a[1], 0x01);
  VxMidiData c(std::move(b));
  EXPECT_EQ(c.toString(), "F0 02 F7");
  a = c;
  EXPECT_EQ(a.toString(), "F0 02 F7");
}

struct ToIntCase {
  MidiBytes bytes;
  int offset, count, expected;
};

class VxMidiDataToInt : public ::testing::TestWithParam<ToIntCase> {};

TEST_P(VxMidiDataToInt, Fields) {
  const auto& c = GetParam();
  EXPECT_EQ(VxMidiData(c.bytes).toInt(c.offset, c.count, -1), c.expected);
}

const MidiBytes kTen{0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x7F};
const MidiBytes kEleven{0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x02, 0x03};
const MidiBytes kFour{0x12, 0x34, 0x56, 0x78};

INSTANTIATE_TEST_SUITE_P(Cases, VxMidiDataToInt,
                         ::testing::Values(ToIntCase{kTen, 8, 1, 1},
                                           ToIntCase{kTen, 8, 2, 255},  // 7-bit digits
                                           ToIntCase{kEleven, 8, 3, 66051},
                                           ToIntCase{kFour, 0, 4, 0x12345678},
                                           ToIntCase{kEleven, 8, 5, -1},
                                           ToIntCase{kTen, 9, 2, -1},   // one byte short
                                           ToIntCase{kTen, 10, 1, -1},  // offset at the end
                                           ToIntCase{kTen, -1, 1, -1},
                                           ToIntCase{kTen, 0, 0, -1}));

TEST(VxMidiData, ToIntDefaultAtEnd) { EXPECT_EQ(VxMidiData("F0 F7").toInt(2, 1, 0), 0); }

TEST(VxMidiData, ToAsciiStringTakesOneByteLess) {
  MidiBytes twenty(20);
  for (size_t i = 0; i < twenty.size(); ++i) twenty[i] = static_cast<uint8_t>(i);
  const VxMidiData m(twenty);
  EXPECT_EQ(m.toAsciiString(6, 4), "06 07 08");
  // Clipped to the message rather than read past its end.
  EXPECT_EQ(m.toAsciiString(18, 4), "12 13");
  EXPECT_EQ(m.toAsciiString(25, 4), "");
  EXPECT_EQ(m.toAsciiString(6, 0), "");
}

TEST(VxMidiData, MatchWithFFWildcard) {
  const VxMidiData m("F0 00 2B 5E 42 11 00 F7");
  EXPECT_TRUE(m.match("F0 00 2B 5E 42 11 00 F7"));
  EXPECT_FALSE(VxMidiData("F0 00 2B 5E 42 11 01 F7").match("F0 00 2B 5E 42 11 00 F7"));
  EXPECT_FALSE(VxMidiData("F0 00 2B 5E 42 11 00 00 F7").match("F0 00 2B 5E 42 11 00 F7"));
  EXPECT_TRUE(m.match("F0 00 2B 5E 42 11 FF F7"));
  EXPECT_TRUE(VxMidiData("F0 00 2B 5E 42 11 6A F7").match("F0 00 2B 5E 42 11 FF F7"));
  // Trigger notation means nothing here.
  EXPECT_FALSE(VxMidiData("F0 00 2B 5E 42 08 02 F7").match("F0 00 2B 5E 42 0[89] 02 F7"));
  EXPECT_FALSE(VxMidiData("F0 00 2B 5E 42 01 02 F7").match("F0 00 2B 5E 42 .. 02 F7"));
}

TEST(VxMidiData, ExactComparison) {
  EXPECT_TRUE(VxMidiData("F0 00 2B 5E 42 0C 00 F7") == "F0 00 2B 5E 42 0C 00 F7");
  EXPECT_FALSE(VxMidiData("F0 00 2B 5E 42 0C 00 F7 00") == "F0 00 2B 5E 42 0C 00 F7");
  EXPECT_FALSE(VxMidiData("F0 00 2B 5E 42 0C 00 F7") == "F0 00 2B 5E 42 FF 00 F7");
  EXPECT_TRUE(VxMidiData() == "F0 7E 7F 06 01 F");  // the odd text reads as empty
}

}  // namespace
