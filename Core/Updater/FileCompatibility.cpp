#include "Updater/FileCompatibility.h"

#include <fstream>

#include "Updater/DeviceInfo.h"

namespace Updater {

namespace {

constexpr std::streamoff kFidOffset = 4;  // then the pid, then the marker
constexpr uint8_t kMarker = 0x43;
// The pedals that take DFU images: family 0x13, or product 4.
constexpr uint8_t kDfuFamily = 0x13;
constexpr uint8_t kDfuProduct = 0x04;

bool endsWith(const std::string& text, const char* ending) {
  const std::string tail(ending);
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

FileVerdict checkFileCompatibility(const std::string& path, uint8_t fid, uint8_t pid) {
  if (endsWith(path, "dfu"))
    return fid == kDfuFamily || pid == kDfuProduct ? FileVerdict::DfuAccepted : FileVerdict::DfuRefused;
  if (!endsWith(path, "syx")) return FileVerdict::Skipped;

  std::ifstream file(path, std::ios::binary);
  if (!file) return FileVerdict::Unmarked;
  char bytes[3] = {};
  file.seekg(kFidOffset);
  if (!file.read(bytes, sizeof bytes)) return FileVerdict::Unmarked;
  if (static_cast<uint8_t>(bytes[2]) != kMarker) return FileVerdict::Unmarked;
  const bool same = static_cast<uint8_t>(bytes[0]) == fid &&
                    (static_cast<uint8_t>(bytes[1]) & 0x0F) == (pid & 0x0F);
  return same ? FileVerdict::Matches : FileVerdict::Mismatch;
}

bool isCompatibleToCurrentDevice(const std::shared_ptr<DeviceInfo>& device,
                                 const std::vector<std::string>& paths) {
  if (!device) return true;
  size_t skipped = 0;
  for (const std::string& path : paths) {
    switch (checkFileCompatibility(path, device->fid, device->pid)) {
      case FileVerdict::DfuRefused:
      case FileVerdict::Mismatch:
        return false;
      case FileVerdict::DfuAccepted:
      case FileVerdict::Skipped:
        ++skipped;
        break;
      case FileVerdict::Matches:
      case FileVerdict::Unmarked:
        break;
    }
  }
  return skipped != paths.size();
}

}  // namespace Updater
