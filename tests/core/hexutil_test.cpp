#include "Updater/plugins/Ventrix/HexUtil.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

MidiBytes readMessage(const std::string& text, bool* ok = nullptr) {
  MidiBytes out{0x01};  // must be cleared by the reader
  const bool r = HexUtil::message(text, out);
  if (ok) *ok = r;
  return out;
}

struct MessageCase {
  const char* text;
  bool ok;
  MidiBytes bytes;
};

class MessageReader : public ::testing::TestWithParam<MessageCase> {};

TEST_P(MessageReader, ReadsPairsAndRemovesOnlyBlanks) {
  const auto& c = GetParam();
  bool ok = false;
  EXPECT_EQ(readMessage(c.text, &ok), c.bytes) << c.text;
  EXPECT_EQ(ok, c.ok) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MessageReader,
    ::testing::Values(MessageCase{"F0 7E 7F 06 01 F7", true, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}},
                      MessageCase{"F07E7F0601F7", true, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}},
                      MessageCase{"f0 7e 7f 06 01 f7", true, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}},
                      MessageCase{"F0 7E 7F 06 01 F", false, {}},
                      MessageCase{"..", true, {0xEE}},
                      MessageCase{"F0,7E", false, {}},           // the comma stays and makes it odd
                      MessageCase{"F0\t7E", false, {}},          // so does a tab
                      MessageCase{"F 0 7 E", true, {0xF0, 0x7E}},  // blanks inside a pair go too
                      MessageCase{"", true, {}}));

TEST(PatternReader, NibblesWildcardsAndClasses) {
  std::vector<HexUtil::VxChar> p{HexUtil::VxChar({1})};
  ASSERT_TRUE(HexUtil::pattern("F0 7E .. 06", p));
  ASSERT_EQ(p.size(), 8u);
  const std::vector<std::vector<int>> expected{{15}, {0}, {7}, {14}, {}, {}, {0}, {6}};
  for (size_t i = 0; i < p.size(); ++i) EXPECT_EQ(p[i].values, expected[i]) << i;

  ASSERT_TRUE(HexUtil::pattern("42 0[89]", p));
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(p[3].values, (std::vector<int>{8, 9}));
  EXPECT_TRUE(p[3] == 8);
  EXPECT_TRUE(p[3] == 9);
  EXPECT_FALSE(p[3] == 10);
  EXPECT_TRUE(p[3] != 10);

  // A hyphen inside a class is a character of its own, not a range.
  ASSERT_TRUE(HexUtil::pattern("[0-3]", p));
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].values, (std::vector<int>{0, HexUtil::GetHexVal('-'), 3}));
  EXPECT_FALSE(p[0] == 1);

  // An unclosed class runs to the end of the text.
  ASSERT_TRUE(HexUtil::pattern("F[12", p));
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[1].values, (std::vector<int>{1, 2}));
}

TEST(PatternReader, AnyNibbleComparesAndPrints) {
  const HexUtil::VxChar any;
  EXPECT_TRUE(any == 3);
  EXPECT_FALSE(any != 3);
  EXPECT_EQ(any.toString(), ".");
  EXPECT_EQ(HexUtil::VxChar({10, 11}).toString(), "A");
}

TEST(HexDigits, ArithmeticValues) {
  EXPECT_EQ(HexUtil::GetHexVal('0'), 0);
  EXPECT_EQ(HexUtil::GetHexVal('9'), 9);
  EXPECT_EQ(HexUtil::GetHexVal('A'), 10);
  EXPECT_EQ(HexUtil::GetHexVal('f'), 15);
  EXPECT_EQ(HexUtil::GetHexVal('.'), -2);
  EXPECT_EQ(HexUtil::GetHexVal('.') & 0xF, 14);
}

TEST(BuildString, NumberedPlaceholders) {
  EXPECT_EQ(buildString("F0 00 2B 5E 42 0D 02 00 0F 0F 0F 0F 08 0%1 0%2 .. .. F7", {0x12, 0x34}),
            "F0 00 2B 5E 42 0D 02 00 0F 0F 0F 0F 08 12 34 .. .. F7");
  EXPECT_EQ(buildString("0%1 0%2 0%3", {0x0A, 0xFF}), "0A FF 0%3");
  EXPECT_EQ(buildString("0%1 0%1", {0x05}), "05 05");
  EXPECT_EQ(buildString("0%1", {}), "0%1");
}

TEST(HexFormatting, SingleValues) {
  EXPECT_EQ(HexString::make_hex_string(0, true), "00");
  EXPECT_EQ(HexString::make_hex_string(10, true), "0A");
  EXPECT_EQ(HexString::make_hex_string(10, false), "0a");
  EXPECT_EQ(HexString::make_hex_string(0x2B, true), "2B");
  EXPECT_EQ(HexString::make_hex_string(0x1FF, true), "1FF");
  EXPECT_EQ(HexString::make_hex_string(-1, true), "FFFFFFFF");
}

TEST(HexFormatting, Runs) {
  const MidiBytes b{0xF0, 0x00, 0x2B, 0x5E};
  EXPECT_EQ(HexString::make_hex_string(b.begin(), b.end(), true, true), "F0 00 2B 5E");
  EXPECT_EQ(HexString::make_hex_string(b.begin(), b.end(), false, false), "f0002b5e");
  const MidiBytes none;
  EXPECT_EQ(HexString::make_hex_string(none.begin(), none.end(), true, true), "");
  // Signed characters are still formatted as bytes 0-255.
  const std::string chars{'\xF7', '\x01'};
  EXPECT_EQ(HexString::make_hex_string(chars.begin(), chars.end(), true, true), "F7 01");
}

TEST(DenseConverters, RoundTripAndOddLength) {
  EXPECT_EQ(Updater::convertFromArrayToString({0xF0, 0x2B}), "f02b");
  EXPECT_EQ(Updater::convertFromStringToArray("F0002B5E"), (MidiBytes{0xF0, 0x00, 0x2B, 0x5E}));
  EXPECT_EQ(Updater::convertFromStringToArray("F0002B5E1"), (MidiBytes{0xF0, 0x00, 0x2B, 0x5E}));
  EXPECT_EQ(Updater::convertFromStringToArray(""), MidiBytes{});

  std::string dense = Updater::convertFromArrayToString({0x0A, 0xBC, 0xDE, 0xF7});
  Updater::convertStringToUpperCase(dense);
  EXPECT_EQ(dense, "0ABCDEF7");
  EXPECT_EQ(Updater::convertFromStringToArray(dense), (MidiBytes{0x0A, 0xBC, 0xDE, 0xF7}));
}

// Acknowledgement expressions are compiled from table text with its blanks
// removed and must match the whole dense upper-case text of a reply.
TEST(ResponseExpression, WholeTextMatchOnDenseUpperCase) {
  auto dense = [](const MidiBytes& b) {
    std::string s = Updater::convertFromArrayToString(b);
    Updater::convertStringToUpperCase(s);
    return s;
  };
  std::string text = "F0 00 2B 5E 17 .. 4[23] 00 F7";
  std::erase(text, ' ');
  const std::regex re(text);
  EXPECT_TRUE(std::regex_match(dense({0xF0, 0x00, 0x2B, 0x5E, 0x17, 0x01, 0x42, 0x00, 0xF7}), re));
  EXPECT_TRUE(std::regex_match(dense({0xF0, 0x00, 0x2B, 0x5E, 0x17, 0x01, 0x43, 0x00, 0xF7}), re));
  EXPECT_FALSE(std::regex_match(dense({0xF0, 0x00, 0x2B, 0x5E, 0x17, 0x01, 0x42, 0x00, 0x00, 0xF7}), re));
}

}  // namespace
