#include "USBBusManager.h"

#if defined(__APPLE__)
#include <CoreMIDI/CoreMIDI.h>
#endif

USBBusManager* USBBusManager::Shared() {
  static USBBusManager* const instance = new USBBusManager();
  return instance;
}

void USBBusManager::resetUSBBus() {
#if defined(__APPLE__)
  // CoreMIDI keeps the endpoints of a device that left and came back as
  // another USB device until it is told to rescan.
  (void)MIDIRestart();
#else
  // ALSA (through udev and the sequencer) and JACK announce ports of devices
  // that come and go by themselves, and Windows MultiMedia lists devices
  // anew on every enumeration; there is nothing to restart. The scanner sees
  // the new ports on its next cycle.
#endif
}
