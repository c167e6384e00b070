// Reading firmware files, naming their kind and building their
// acknowledgement expressions from the command tables.
#include <gtest/gtest.h>

#include "FakeConnection.h"
#include "Updater/DeviceInfo.h"
#include "Updater/FirmwareFile.h"
#include "Updater/InterfaceFactory.h"

using namespace Updater;
using velorin::test::hex;
using velorin::test::TempDir;

namespace {

std::shared_ptr<DeviceInfo> deviceFor(uint16_t fidpid) {
  auto device = std::make_shared<DeviceInfo>(nullptr);
  device->fid = static_cast<uint8_t>(fidpid >> 8);
  device->pid = static_cast<uint8_t>(fidpid & 0xFF);
  device->deviceInterface = getDeviceInterfaceFromFidPid(fidpid);
  return device;
}

const MidiMessages kTwoMessages = {hex("F0 00 2B 5E 17 42 43 01 00 00 F7"),
                                   hex("F0 00 2B 5E 17 42 F7")};

TEST(SplitOnStatus, CutsAtF7AndAtEveryStatusByteWhileAMessageIsOpen) {
  struct Case {
    const char* bytes;
    std::vector<const char*> messages;
  };
  const Case cases[] = {
      {"F0 01 F7 F0 02 F7", {"F0 01 F7", "F0 02 F7"}},
      {"F0 01 F0 02 F7", {"F0 01", "F0 02 F7"}},
      {"05 06 F0 02 F7", {"05 06", "F0 02 F7"}},
      {"F0 7E 7F 06 01 F7 F0 00 2B 5E", {"F0 7E 7F 06 01 F7", "F0 00 2B 5E"}},
      {"", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    MidiMessages expected;
    for (const char* m : c.messages) expected.push_back(hex(m));
    EXPECT_EQ(splitOnStatus(hex(c.bytes)), expected);
  }
}

TEST(LoadMidiFile, GivesNothingForMissingOrEmptyFilesAndTheMessagesOtherwise) {
  TempDir dir;
  EXPECT_TRUE(loadMidiFile("").empty());
  EXPECT_TRUE(loadMidiFile(dir.path() + "/missing.syx").empty());
  EXPECT_TRUE(loadMidiFile(dir.writeBytes("empty.syx", {})).empty());
  EXPECT_TRUE(loadMidiFile(dir.path()).empty());  // a folder cannot be read as a file
  EXPECT_EQ(loadMidiFile(dir.write("two.syx", kTwoMessages)), kTwoMessages);
}

TEST(TypeFromFilename, FollowsTheNamingRulesInOrder) {
  struct Case {
    const char* path;
    TypeOfCode type;
  };
  const Case cases[] = {
      {"/tmp/PEDAL_FWU.SYX", TypeOfCode::Fwu},
      {"/x/y/abc_user_v1234.syx", TypeOfCode::Fwu},
      {"abc_user_1234.syx", TypeOfCode::Fwu},
      {"Pedal_user.syx", TypeOfCode::Fwu},
      {"abc_dsp_v0107.syx", TypeOfCode::Fwd},
      {"a_fwd.syx", TypeOfCode::Fwd},
      {"abccab12a_v0100.syx", TypeOfCode::Cab},
      {"foo_x12.syx", TypeOfCode::X},
      {"a_rev3_0101.syx", TypeOfCode::Rev},
      {"a_fprst_v0101.syx", TypeOfCode::Fprst},
      {"a_fwb.syx", TypeOfCode::Fwb},
      {"fwd.syx_and_fwu.syx", TypeOfCode::Fwu},
      {"readme.txt", TypeOfCode::Unknown},
      {"plain.syx", TypeOfCode::Unknown},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(typeFromFilename(c.path), c.type) << c.path;
  }
}

TEST(CodeTypeDecorator, NamesTheCommandTableKeys) {
  EXPECT_EQ(codeTypeToStrDecorator(TypeOfCode::Fwu), "fwu");
  EXPECT_EQ(codeTypeToStrDecorator(TypeOfCode::X), "fwu");
  EXPECT_EQ(codeTypeToStrDecorator(TypeOfCode::Fwd), "fwd");
  EXPECT_EQ(codeTypeToStrDecorator(TypeOfCode::Fwb), "fwb");
  EXPECT_EQ(codeTypeToStrDecorator(TypeOfCode::Cab), "cab");
  EXPECT_EQ(codeTypeToStrDecorator(TypeOfCode::Rev), "rev");
  EXPECT_EQ(codeTypeToStrDecorator(TypeOfCode::Fprst), "fprst");
  EXPECT_EQ(codeTypeToStrDecorator(TypeOfCode::Unknown), "unk");
  EXPECT_EQ(codeTypeToStrDecorator(static_cast<TypeOfCode>(5)), "unk");
}

TEST(UpdateProtocol, UserCodeFilesGetTheTablesAcknowledgements) {
  // Style A (family 0x17) and style B (family 0x13) acknowledgements.
  struct Case {
    uint16_t fidpid;
    const char* good;
    const char* bad;
  };
  const Case cases[] = {
      {0x1742, "F0002B5E17424200F7", "F0002B5E17424201F7"},
      {0x1343, "F0002B5E1343430C00F7", "F0002B5E1343430C01F7"},
  };
  for (const Case& c : cases) {
    const auto protocol = getUpdateProtocol(deviceFor(c.fidpid), "/f/a_fwu.syx", kTwoMessages, false);
    ASSERT_TRUE(protocol.isOk()) << std::hex << c.fidpid;
    EXPECT_EQ(protocol.type, TypeOfCode::Fwu);
    EXPECT_EQ(protocol.commandTimeout, 2200);
    std::string good = c.good;
    std::erase(good, ' ');
    EXPECT_TRUE(std::regex_match(good, protocol.good));
    EXPECT_FALSE(std::regex_match(std::string(c.bad), protocol.good));
    EXPECT_TRUE(std::regex_match(std::string(c.bad), protocol.bad));
  }
}

TEST(UpdateProtocol, IncompleteForUnusableFilesAndPedals) {
  const auto rosmundBoot = deviceFor(0x1742);
  // Too short to hold a header: first or last message.
  EXPECT_FALSE(getUpdateProtocol(rosmundBoot, "a_fwu.syx", {hex("F0 00 2B 5E 17 F7")}, false).isOk());
  EXPECT_FALSE(getUpdateProtocol(rosmundBoot, "a_fwu.syx", {}, false).isOk());
  EXPECT_FALSE(getUpdateProtocol(rosmundBoot, "a_fwu.syx",
                                 {kTwoMessages[0], hex("F0 01 F7")}, false).isOk());

  const auto unknown = getUpdateProtocol(rosmundBoot, "firmware.bin", kTwoMessages, false);
  EXPECT_FALSE(unknown.isOk());
  EXPECT_EQ(unknown.gender, 0x7F007Fu);
  EXPECT_TRUE(unknown.genderMismatch());

  for (const char* name : {"a_fwb.syx", "abccab12a_v0100.syx", "a_rev1_0100.syx"}) {
    EXPECT_FALSE(getUpdateProtocol(rosmundBoot, name, kTwoMessages, false).isOk()) << name;
  }

  // A DSP file for a pedal without DSP, although the table has fwd keys.
  const auto wexley = deviceFor(0x1601);
  EXPECT_FALSE(wexley->deviceInterface->hasDSP());
  EXPECT_FALSE(getUpdateProtocol(wexley, "a_fwd.syx", kTwoMessages, false).isOk());
  EXPECT_TRUE(getUpdateProtocol(deviceFor(0x1302), "a_fwd.syx", kTwoMessages, false).isOk());

  // No record, or a record without a table (family 0x12).
  EXPECT_FALSE(getUpdateProtocol(nullptr, "a_fwu.syx", kTwoMessages, false).isOk());
  EXPECT_FALSE(getUpdateProtocol(deviceFor(0x1201), "a_fwu.syx", kTwoMessages, false).isOk());
}

TEST(UpdateProtocol, APickedFileIsUserCodeWhateverItsName) {
  const auto wexley = deviceFor(0x1601);
  const auto protocol = getUpdateProtocol(wexley, "a_dsp_v0107.syx", kTwoMessages, true);
  EXPECT_TRUE(protocol.isOk());
  EXPECT_EQ(protocol.type, TypeOfCode::Fwu);
  EXPECT_TRUE(getUpdateProtocol(wexley, "firmware.bin", kTwoMessages, true).isOk());
}

}  // namespace

#include "Updater/FileCompatibility.h"

namespace {

TEST(FileCompatibility, TheByteRuleDecidesPerFile) {
  TempDir dir;
  const std::string kesmetFromBoot = dir.writeBytes("k_fwu.syx", hex("F0 00 2B 5E 13 43 43 01 F7"));
  const std::string foreign = dir.writeBytes("f_fwu.syx", hex("F0 00 2B 5E 17 02 43 01 F7"));
  const std::string otherProduct = dir.writeBytes("o_fwu.syx", hex("F0 00 2B 5E 13 02 43 01 F7"));
  const std::string dsp = dir.writeBytes("d_fwd.syx", hex("F0 00 2B 5E 17 02 42 01 F7"));
  const std::string shortFile = dir.writeBytes("s.syx", hex("F0 00 2B"));
  struct Case {
    std::string path;
    FileVerdict verdict;
  };
  const Case cases[] = {
      {kesmetFromBoot, FileVerdict::Matches},
      {foreign, FileVerdict::Mismatch},
      {otherProduct, FileVerdict::Mismatch},
      {dsp, FileVerdict::Unmarked},  // no marker: passed over
      {shortFile, FileVerdict::Unmarked},
      {dir.path() + "/missing.syx", FileVerdict::Unmarked},
      {"/any/image.dfu", FileVerdict::DfuAccepted},
      {"/any/notes.txt", FileVerdict::Skipped},
      {"/any/UPPER.SYX", FileVerdict::Skipped},  // kinds are case-sensitive
  };
  for (const Case& c : cases) EXPECT_EQ(checkFileCompatibility(c.path, 0x13, 0x03), c.verdict) << c.path;
  EXPECT_EQ(checkFileCompatibility("/a.dfu", 0x17, 0x04), FileVerdict::DfuAccepted);
  EXPECT_EQ(checkFileCompatibility("/a.dfu", 0x17, 0x02), FileVerdict::DfuRefused);

  auto kesmet = std::make_shared<DeviceInfo>(nullptr);
  kesmet->fid = 0x13;
  kesmet->pid = 0x03;
  EXPECT_TRUE(isCompatibleToCurrentDevice(kesmet, {kesmetFromBoot, dsp}));
  EXPECT_FALSE(isCompatibleToCurrentDevice(kesmet, {kesmetFromBoot, foreign}));
  EXPECT_FALSE(isCompatibleToCurrentDevice(kesmet, {"/only/image.dfu"}));  // everything skipped
  EXPECT_TRUE(isCompatibleToCurrentDevice(kesmet, {"/only/image.dfu", dsp}));
  EXPECT_TRUE(isCompatibleToCurrentDevice(nullptr, {foreign}));
}

}  // namespace
