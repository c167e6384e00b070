#include "DataManager/DeviceTypes.h"

#include <gtest/gtest.h>

namespace {

using namespace VX;
using namespace VX::DeviceTypes;

struct Row {
  DeviceType type;
  uint32_t user;
  uint32_t boot;
  const char* name;
};

// Typed in from the catalogue, independently of the implementation's table.
const Row kRows[] = {
    {Brenno, 0x1304, 0x1344, "Brenno"},   {Ulmara, 0x1305, 0x1345, "Ulmara"},
    {Quenda, 0x1202, 0x1242, "Quenda"},   {Arbelo, 0x1201, 0x1241, "Arbelo"},
    {Kesmet, 0x1303, 0x1343, "Kesmet"},   {Orrisk, 0x1203, 0x1243, "Orrisk"},
    {Fennick, 0x1701, 0x1741, "Fennick"}, {Yelto, 0x1707, 0x1747, "Yelto"},
    {Jorvu, 0x1704, 0x1744, "Jorvu"},     {Rosmund, 0x1702, 0x1742, "Ros Mund"},
    {Hoxa, 0x1703, 0x1743, "HOXA"},       {Namu, 0x1705, 0x1745, "Namu"},
    {Corvel, 0x1706, 0x1746, "corVel"},   {Dorvik, 0x1302, 0x1342, "Dorvik"},
    {Pallamo, 0x1301, 0x1341, "Pallamo"}, {Wexley, 0x1601, 0x1641, "Wexley"},
    {Gorrin, 0x1502, 0x1542, "Gorrin"},   {Tiberon, 0x1501, 0x1541, "Tiberon"},
    {Ilvane, 0x3001, 0x3041, "Ilvane"},   {Sarnavel, 0x1901, 0x1941, "Sarnavel"},
};

class Catalogue : public ::testing::TestWithParam<Row> {};

TEST_P(Catalogue, LooksUpBothWaysAndRecognisesBootCode) {
  const Row& r = GetParam();
  EXPECT_EQ(DeviceTypeFromFidpid(r.user), r.type);
  EXPECT_EQ(FidPidFromType(r.type), r.user);
  EXPECT_EQ(DeviceTypeFromFidpid(FidPidFromType(r.type)), r.type);
  EXPECT_EQ(BootDeviceTypeFromFidpid(r.boot), r.type);
  EXPECT_EQ(DeviceTypeFromFidpid(r.boot), NoDeviceType);    // boot codes are not user codes
  EXPECT_EQ(BootDeviceTypeFromFidpid(r.user), NoDeviceType);  // and the other way round
  EXPECT_EQ(DeviceTypeFromFidpid(r.boot & BootCodeMask), r.type);
  EXPECT_EQ(getName(r.type, false), r.name);
  EXPECT_EQ(getName(r.type, true), std::string("Virtual ") + r.name);
}

INSTANTIATE_TEST_SUITE_P(AllTwenty, Catalogue, ::testing::ValuesIn(kRows));

TEST(Catalogue, TablesHoldExactlyTheTwentyUserCodes) {
  for (int i = 0; i < 20; ++i) EXPECT_EQ(static_cast<int>(kRows[i].type), i);
  EXPECT_EQ(fidpidToTypeTable().size(), 20u);
  EXPECT_EQ(typeToFidpidTable().size(), 20u);
}

TEST(Catalogue, UnknownInputs) {
  EXPECT_EQ(DeviceTypeFromFidpid(0), NoDeviceType);
  EXPECT_EQ(BootDeviceTypeFromFidpid(0), NoDeviceType);
  EXPECT_EQ(FidPidFromType(NoDeviceType), 0u);
  EXPECT_EQ(FidPidFromType(static_cast<DeviceType>(20)), 0u);
  EXPECT_EQ(getName(NoDeviceType, true), "");
  EXPECT_EQ(getName(static_cast<DeviceType>(20), true), "");
  EXPECT_EQ(DeviceTypeFromFidpid(0x1708), NoDeviceType);
  EXPECT_EQ(BootDeviceTypeFromFidpid(0x1748), NoDeviceType);
}

TEST(Catalogue, ParsesOnlyTheAcceptedNames) {
  const std::pair<const char*, int> cases[] = {
      {"HOXA", Hoxa},       {"Hoxa", Hoxa},        {"hoxa", Hoxa},       {"hOXA", -1},
      {"Arbelo", -1},       {"Quenda", -1},        {"Dorvik", -1},       {"Ros Mund", Rosmund},
      {"ros mund", Rosmund}, {"Rosmund", -1},      {"corVel", Corvel},   {"Corvel", Corvel},
      {"Ulmara", Ulmara},   {"brenno", Brenno},    {"Kesmet", Kesmet},   {"fennick", Fennick},
      {"Yelto", Yelto},     {"jorvu", Jorvu},      {"Namu", Namu},       {"", -1},
      {"Namu ", -1},
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(static_cast<int>(createPedalTypeBy(name)), type) << name;
}

TEST(Catalogue, ColoursAndFavouriteSlots) {
  EXPECT_EQ(getPedalSelectColor(Brenno), (VXColor{0xE0, 0xEC, 0x5C, 0xFF}));
  EXPECT_EQ(getPedalLogoColor(Jorvu), (VXColor{0x76, 0x36, 0x30, 0xFF}));
  EXPECT_EQ(getPedalSelectColor(Sarnavel), (VXColor{0x00, 0x9A, 0xC2, 0xFF}));
  EXPECT_EQ(getPedalSelectColor(Dorvik), (VXColor{0, 0, 0, 0}));
  EXPECT_EQ(getPedalLogoColor(NoDeviceType), (VXColor{0, 0, 0, 0}));

  const auto brenno = getFavoritePresetSlots(Brenno);
  ASSERT_EQ(brenno.size(), 8u);
  EXPECT_EQ(brenno.at(7).presetNumber, 7);
  EXPECT_EQ(brenno.at(0).color, (VXColor{0x27, 0xE4, 0x50, 0xFF}));

  const auto ulmara = getFavoritePresetSlots(Ulmara);
  ASSERT_EQ(ulmara.size(), 16u);
  EXPECT_EQ(ulmara.at(0).presetNumber, 1);
  EXPECT_EQ(ulmara.at(7).presetNumber, 8);
  EXPECT_EQ(ulmara.at(8).presetNumber, 1);
  EXPECT_EQ(ulmara.at(15).presetNumber, 8);
  EXPECT_EQ(ulmara.at(8).color, (VXColor{0xF0, 0x7B, 0x00, 0xFF}));
  EXPECT_TRUE(getFavoritePresetSlots(Kesmet).empty());
}

}  // namespace
