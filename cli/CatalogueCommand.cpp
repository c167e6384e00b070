#include <cstdio>

#include "Commands.h"
#include "DataManager/DeviceTypes.h"

// Prints the pedal catalogue: every type with its user and boot fid/pid.
// Doubles as a self-check that the two lookup tables agree with each other.
int runCatalogue(const std::vector<std::string>& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "velorin-update catalogue: takes no arguments\n");
    return ExitUsage;
  }
  using namespace VX::DeviceTypes;
  std::printf("%-4s %-10s %-6s %-6s\n", "type", "name", "user", "boot");
  int mismatches = 0;
  for (int t = 0; t < VX::DeviceTypeCount; ++t) {
    const auto type = static_cast<VX::DeviceType>(t);
    const uint32_t user = FidPidFromType(type);
    const uint32_t boot = user | BootCodeBit;
    const bool consistent = DeviceTypeFromFidpid(user) == type && BootDeviceTypeFromFidpid(boot) == type &&
                            DeviceTypeFromFidpid(boot & BootCodeMask) == type;
    if (!consistent) ++mismatches;
    std::printf("%-4d %-10s %04X   %04X%s\n", t, getName(type, false).c_str(), user, boot,
                consistent ? "" : "   (tables disagree)");
  }
  if (mismatches != 0) {
    std::fprintf(stderr, "catalogue: %d types do not map back to themselves\n", mismatches);
    return ExitFailure;
  }
  return ExitOk;
}
