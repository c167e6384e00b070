#pragma once

#include <cstdint>
#include <memory>

#include "Updater/DeviceInterface.h"

namespace Updater {

// A new command table object for an exact 16-bit fid/pid (family << 8 |
// product, e.g. 0x1742), or an empty pointer for a code without one (the
// family 0x12 pedals among them). Objects are never shared or cached, so each
// starts with an empty user context.
std::shared_ptr<DeviceInterface> getDeviceInterfaceFromFidPid(uint32_t fidpid);

// Pedals that report code bank (DSP) versions: 1301-1305, 1501, 1502, and
// their boot codes.
bool needDspVersion(uint32_t fidpid);

}  // namespace Updater
