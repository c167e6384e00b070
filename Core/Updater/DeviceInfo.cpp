#include "Updater/DeviceInfo.h"

#include <utility>

namespace Updater {

namespace {
constexpr bool isBootCodePid(uint8_t pid) { return (pid & 0xF0) == 0x40; }
}  // namespace

DeviceInfo::DeviceInfo(std::shared_ptr<Connection> conn) : connection(std::move(conn)) {}

int DeviceInfo::getFidPid2Bytes() const { return fid * 256 + pid; }

int DeviceInfo::getGender() const {
  return (fid * 65536 + pid) & ~static_cast<int>(VX::DeviceTypes::BootCodeBit);
}

bool operator==(const DeviceInfo& a, const DeviceInfo& b) { return a.esn == b.esn; }

bool initalizeDevice(const std::shared_ptr<DeviceInfo>& info, MidiPortData& portData,
                     const std::vector<uint8_t>& esn) {
  if (!info) return false;
  info->esn = esn;
  info->fid = portData.fid;
  info->pid = portData.pid;
  if (!isBootCodePid(portData.pid)) {
    info->versionMajor = portData.versionMajor;
    info->versionMinorTens = portData.versionMinorTens;
    info->versionMinorUnits = portData.versionMinorUnits;
    info->isBeta = portData.isBeta;
  }
  if (!(portData.fid == 0x13 && portData.pid == 0x41)) info->type = portData.type;
  portData.device = info;
  return true;
}

}  // namespace Updater
