// Synthetic firmware files as the updater reads them.
#include <filesystem>
#include <fstream>

#include "SimTestUtil.h"

using namespace simtest;

namespace {

struct NameCase {
  const char* type;
  const char* version;
  bool dsp;
  const char* fileName;
};

}  // namespace

TEST(Firmware, FileNamesAndVersionCharacters) {
  const NameCase cases[] = {
      {"1303", "1.25b", false, "Kesmet_9125_fwu.syx"},
      {"1202", "2.03", false, "Quenda_0203_fwu.syx"},
      {"1702", "3.10", true, "Ros_Mund_0310_fwd.syx"},
      {"3001", "0.07", false, "Ilvane_0007_fwu.syx"},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.fileName);
    const auto fw = firmware(c.type, c.version, c.dsp);
    EXPECT_EQ(fw.fileName, c.fileName);
    const std::string lower = fw.fileName;
    EXPECT_NE(lower.find(c.dsp ? "fwd.syx" : "fwu.syx"), std::string::npos);

    // Version from the name: ".*_(\w+)_fwu.syx", four characters: beta, major, tens, units.
    PedalSim::Version expected;
    PedalSim::Version::parse(c.version, expected);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(lower, m, std::regex(c.dsp ? ".*_(\\w+)_fwd.syx" : ".*_(\\w+)_fwu.syx")));
    const std::string g = m[1];
    ASSERT_EQ(g.size(), 4u);
    EXPECT_EQ(g[1] - '0', expected.major);
    EXPECT_EQ(10 * (g[2] - '0') + (g[3] - '0'), expected.minor);
    EXPECT_EQ(g[0] == '9', expected.beta);

    // Version from the contents: four characters at file offset 11.
    MidiBytes file;
    for (const auto& msg : fw.messages) file.insert(file.end(), msg.begin(), msg.end());
    ASSERT_GT(file.size(), 15u);
    EXPECT_EQ(file[13] - '0', expected.major);
    EXPECT_EQ((file[11] - '0') + 10 * (file[12] - '0'), expected.minor);
    EXPECT_EQ(file[14] == '9', expected.beta);
  }
}

TEST(Firmware, FirstMessageIdentifiesThePedalAndTheCodeItNeeds) {
  // Offsets 4-6: family, product (| 0x40 from boot code), 43.
  const auto kesmet = firmware("1303", "1.00");
  EXPECT_EQ(MidiBytes(kesmet.messages[0].begin() + 4, kesmet.messages[0].begin() + 7), (MidiBytes{0x13, 0x43, 0x43}));
  const auto rosmund = firmware("1702", "1.00");
  EXPECT_EQ(MidiBytes(rosmund.messages[0].begin() + 4, rosmund.messages[0].begin() + 7), (MidiBytes{0x17, 0x02, 0x43}));
  const auto quenda = firmware("1202", "1.00");
  EXPECT_EQ(MidiBytes(quenda.messages[0].begin() + 4, quenda.messages[0].begin() + 7), (MidiBytes{0x12, 0x02, 0x43}));
  // The updater checks the pedal's fid and the low nibble of its pid.
  EXPECT_EQ(kesmet.messages[0][5] & 0x0F, 0x03);
  EXPECT_EQ(kesmet.messages[0][5] & 0x40, 0x40);
  EXPECT_EQ(rosmund.messages[0][5] & 0x40, 0);
}

TEST(Firmware, FileCheckAndTrailingMessage) {
  const auto fw = firmware("1303", "1.00");
  const auto& check = fw.messages[fw.messages.size() - 2];
  EXPECT_TRUE(matchesExpression("F0 00 2B 5E 13 43 43 0C .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. F7", check));
  EXPECT_EQ(fw.messages.back().size(), 7u);
  const auto dsp = firmware("1303", "1.00", true);
  EXPECT_TRUE(matchesExpression("F0 00 2B 5E 13 .. 42 0C .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. F7",
                                dsp.messages[dsp.messages.size() - 2]));
  const auto quenda = firmware("1202", "1.00");
  EXPECT_NE(quenda.messages.back().size(), 7u) << "family 0x12 files send every message but the first";
}

TEST(Firmware, LargeFilesWriteAndReadBack) {
  PedalSim::Fw::FirmwareSpec spec;
  PedalSim::findType("1304", spec.type);
  spec.version = {2, 0, false};
  spec.blocks = 2000;
  spec.messageSize = 256;
  ASSERT_EQ(PedalSim::Fw::check(spec), "");
  const auto fw = PedalSim::Fw::build(spec);
  size_t data = 0;
  for (const auto& m : fw.messages) {
    EXPECT_EQ(m.front(), 0xF0);
    EXPECT_EQ(m.back(), 0xF7);
    for (size_t i = 1; i + 1 < m.size(); ++i) ASSERT_LT(m[i], 0x80);
    if (m.size() == 256) ++data;
  }
  EXPECT_EQ(data, 2000u);

  const auto path = std::filesystem::temp_directory_path() / ("sim_fw_" + std::to_string(::getpid()) + ".syx");
  std::string error;
  ASSERT_TRUE(PedalSim::Fw::writeFile(path.string(), fw.messages, &error)) << error;
  std::ifstream in(path, std::ios::binary);
  const MidiBytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove(path);
  MidiBytes expected;
  for (const auto& m : fw.messages) expected.insert(expected.end(), m.begin(), m.end());
  EXPECT_EQ(file, expected);

  Sim s("type=1304 mode=boot");
  s.program(fw.messages);
  EXPECT_EQ(PedalSim::versionText(s.engine.userVersion()), "2.00");
  EXPECT_EQ(PedalSim::Fw::sha256Hex(s.engine.region(0).image()), PedalSim::Fw::sha256Hex(fw.image));
}

TEST(Firmware, RejectsSpecsItCannotBuild) {
  PedalSim::Fw::FirmwareSpec spec;
  PedalSim::findType("1601", spec.type);
  spec.dsp = true;
  EXPECT_NE(PedalSim::Fw::check(spec), "");
  spec.dsp = false;
  spec.messageSize = 13;
  EXPECT_NE(PedalSim::Fw::check(spec), "");
  spec.messageSize = 64;
  spec.blocks = 0;
  EXPECT_NE(PedalSim::Fw::check(spec), "");
}
