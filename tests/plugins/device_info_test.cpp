#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Updater/DeviceInfo.h"
#include "Updater/InterfaceFactory.h"

namespace {

using Updater::DeviceInfo;
using Updater::MidiPortData;

std::vector<uint8_t> text(const char* s) { return std::vector<uint8_t>(s, s + std::char_traits<char>::length(s)); }

TEST(DeviceInfo, StartsUnknown) {
  const DeviceInfo info(nullptr);
  EXPECT_EQ(info.connection, nullptr);
  EXPECT_FALSE(info.present);
  EXPECT_EQ(info.lastSeenCycle, 0);
  EXPECT_TRUE(info.esn.empty());
  EXPECT_EQ(info.fid, 0x7F);
  EXPECT_EQ(info.pid, 0x7F);
  EXPECT_EQ(info.type, -1);
  EXPECT_EQ(info.deviceInterface, nullptr);
  EXPECT_EQ(info.versionMajor, 0);
  EXPECT_EQ(info.versionMinorUnits, 0);
  EXPECT_EQ(info.versionMinorTens, 0);
  EXPECT_EQ(info.dspVersion, (std::array<uint8_t, 4>{0, 0, 0, 0}));
  EXPECT_FALSE(info.isBeta);
  EXPECT_FALSE(info.isChained);
  EXPECT_FALSE(info.isConnectionUnsupported);
  EXPECT_EQ(info.getFidPid2Bytes(), 0x7F7F);
}

TEST(DeviceInfo, CodesFromFidAndPid) {
  DeviceInfo info(nullptr);
  info.fid = 0x17;
  info.pid = 0x01;
  EXPECT_EQ(info.getFidPid2Bytes(), 0x1701);
  EXPECT_EQ(info.getGender(), 0x170001);
  info.pid = 0x41;
  EXPECT_EQ(info.getFidPid2Bytes(), 0x1741);
  EXPECT_EQ(info.getGender(), 0x170001);
  info.fid = 0x13;
  info.pid = 0x45;
  EXPECT_EQ(info.getGender(), 0x130005);
  info.pid = 0x05;
  EXPECT_EQ(info.getGender(), 0x130005);
  // Only bit 0x40 is cleared.
  info.fid = 0x30;
  info.pid = 0x7F;
  EXPECT_EQ(info.getGender(), 0x30003F);
}

TEST(DeviceInfo, EqualityComparesTheSerialNumberOnly) {
  DeviceInfo a(nullptr), b(nullptr);
  a.esn = text("0011AABB");
  b.esn = text("0011AABB");
  a.fid = 0x17;
  a.pid = 0x01;
  b.fid = 0x13;
  b.pid = 0x45;
  b.present = true;
  EXPECT_TRUE(a == b);
  b.esn = text("0011AABB00");  // same start, longer
  EXPECT_FALSE(a == b);
  b.esn = text("0011AABC");
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(DeviceInfo(nullptr) == DeviceInfo(nullptr));
}

TEST(DeviceInfo, CopiesSharePointers) {
  DeviceInfo a(nullptr);
  a.deviceInterface = Updater::getDeviceInterfaceFromFidPid(0x1701);
  a.esn = text("01");
  a.isChained = true;
  const DeviceInfo b(a);
  EXPECT_EQ(b.deviceInterface.get(), a.deviceInterface.get());
  EXPECT_TRUE(b.isChained);
  EXPECT_TRUE(a == b);
}

MidiPortData identified(uint8_t fid, uint8_t pid, VX::DeviceType type) {
  MidiPortData d;
  d.fid = fid;
  d.pid = pid;
  d.type = type;
  d.deviceId = 0x7F;
  d.versionMajor = '2';
  d.versionMinorTens = '0';
  d.versionMinorUnits = '7';
  d.isBeta = true;
  return d;
}

TEST(InitalizeDevice, UserCodeTakesEverythingFromTheIdentity) {
  auto info = std::make_shared<DeviceInfo>(nullptr);
  auto port = identified(0x17, 0x02, VX::Rosmund);
  ASSERT_TRUE(Updater::initalizeDevice(info, port, text("0102030405060708")));
  EXPECT_EQ(info->esn, text("0102030405060708"));
  EXPECT_EQ(info->getFidPid2Bytes(), 0x1702);
  EXPECT_EQ(info->type, VX::Rosmund);
  EXPECT_EQ(info->versionMajor, '2');
  EXPECT_EQ(info->versionMinorTens, '0');
  EXPECT_EQ(info->versionMinorUnits, '7');
  EXPECT_TRUE(info->isBeta);
  EXPECT_EQ(port.device, info);
  EXPECT_FALSE(info->present);  // the scanner decides that
}

TEST(InitalizeDevice, BootCodeKeepsTheUserCodeVersion) {
  auto info = std::make_shared<DeviceInfo>(nullptr);
  info->versionMajor = '1';
  info->versionMinorTens = '2';
  info->versionMinorUnits = '3';
  for (uint8_t pid : {0x41, 0x42, 0x4F}) {
    auto port = identified(0x17, pid, VX::Rosmund);
    ASSERT_TRUE(Updater::initalizeDevice(info, port, text("AA")));
    EXPECT_EQ(info->pid, pid);
    EXPECT_EQ(info->type, VX::Rosmund);
    EXPECT_EQ(info->versionMajor, '1');
    EXPECT_EQ(info->versionMinorTens, '2');
    EXPECT_EQ(info->versionMinorUnits, '3');
    EXPECT_FALSE(info->isBeta);
  }
  // 0x50 is user code again.
  auto port = identified(0x17, 0x50, VX::Rosmund);
  ASSERT_TRUE(Updater::initalizeDevice(info, port, text("AA")));
  EXPECT_EQ(info->versionMajor, '2');
}

TEST(InitalizeDevice, SharedBootCodeLeavesTheTypeToTheGenderQuery) {
  auto info = std::make_shared<DeviceInfo>(nullptr);
  info->type = VX::Dorvik;  // set by an earlier gender reply
  auto shared = identified(0x13, 0x41, VX::Pallamo);
  ASSERT_TRUE(Updater::initalizeDevice(info, shared, text("BB")));
  EXPECT_EQ(info->type, VX::Dorvik);
  EXPECT_EQ(shared.device, info);

  // Other boot codes of the family do set it.
  auto own = identified(0x13, 0x43, VX::Kesmet);
  ASSERT_TRUE(Updater::initalizeDevice(info, own, text("BB")));
  EXPECT_EQ(info->type, VX::Kesmet);
  auto otherFamily = identified(0x15, 0x41, VX::Tiberon);
  ASSERT_TRUE(Updater::initalizeDevice(info, otherFamily, text("BB")));
  EXPECT_EQ(info->type, VX::Tiberon);
}

TEST(InitalizeDevice, NoRecordNoChange) {
  auto port = identified(0x17, 0x02, VX::Rosmund);
  EXPECT_FALSE(Updater::initalizeDevice(nullptr, port, text("AA")));
  EXPECT_EQ(port.device, nullptr);
}

TEST(MidiPortData, StartsFree) {
  const MidiPortData d;
  EXPECT_EQ(d.device, nullptr);
  EXPECT_EQ(d.connection, nullptr);
  EXPECT_EQ(d.inputPort, nullptr);
  EXPECT_EQ(d.outputPort, nullptr);
  EXPECT_EQ(d.fid, 0);
  EXPECT_EQ(d.pid, 0);
  EXPECT_EQ(d.deviceId, 0);
  EXPECT_EQ(d.type, -1);
  EXPECT_TRUE(d.esn.empty());
  EXPECT_EQ(d.versionMajor, 0);
  EXPECT_FALSE(d.isBeta);
}

}  // namespace
