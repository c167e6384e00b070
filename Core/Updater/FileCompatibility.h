#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Updater {

class DeviceInfo;

// What the byte rule says about one picked file and one pedal.
enum class FileVerdict {
  Matches,      // ".syx" naming this pedal's family and product
  Unmarked,     // ".syx" without the 0x43 marker at offset 6 (or unreadable): not checked
  Mismatch,     // ".syx" naming another pedal
  DfuAccepted,  // ".dfu" for a pedal that takes DFU images (not a SysEx file)
  DfuRefused,   // ".dfu" for a pedal that does not
  Skipped,      // any other kind of file
};

// A ".syx" file whose byte 6 is 0x43 names its pedal in bytes 4 and 5
// (F0 00 2B 5E <fid> <pid> 43 ...): it matches when byte 4 is the pedal's fid
// and the low nibble of byte 5 that of its pid, so files programmed from boot
// code (pid | 0x40) match the user-code pedal too. Kinds are told by the last
// three characters of the name ("syx", "dfu"), case-sensitive.
FileVerdict checkFileCompatibility(const std::string& path, uint8_t fid, uint8_t pid);

// The picked files fit the pedal: no file names another pedal, no DFU image
// for a pedal without a DFU loader, and not every file was skipped. True
// without a pedal (nothing to check against).
bool isCompatibleToCurrentDevice(const std::shared_ptr<DeviceInfo>& device,
                                 const std::vector<std::string>& paths);

}  // namespace Updater
