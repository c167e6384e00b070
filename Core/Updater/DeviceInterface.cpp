#include "Updater/DeviceInterface.h"

namespace Updater {

bool DeviceInterface::hasBootcode() const { return true; }

bool DeviceInterface::hasDSP() const { return lookup("id.dsp1").has_value(); }

MidiBytes DeviceInterface::lastProgrammingMsg() const { return {}; }

std::string DeviceInterface::productInPortName() const { return productPortName(); }

std::string DeviceInterface::productOutPortName() const { return productPortName(); }

uint32_t DeviceInterface::rawFidpid() const { return fidpid(); }

void DeviceInterface::setUserCtxBool(const std::string& key, bool value) {
  userCtx_.insert_or_assign(key, value);
}

bool DeviceInterface::getUserCtxBool(const std::string& key, bool fallback) const {
  const auto it = userCtx_.find(key);
  if (it == userCtx_.end()) return fallback;
  return std::any_cast<bool>(it->second);
}

}  // namespace Updater
