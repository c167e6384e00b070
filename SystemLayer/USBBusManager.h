#pragma once

// Asks the operating system to look at the USB bus again after a pedal has
// restarted into another mode (user code, boot code, DFU loader), so that
// its new MIDI ports reach the scanner and a DFU device reaches the DFU
// download. No state; may be called from any thread and takes none of the
// scanner's locks.
class USBBusManager {
 public:
  // The single instance, made on first use and kept until the process ends.
  static USBBusManager* Shared();

  // Restarts the MIDI service where the platform has such a request; the
  // outcome is not reported. The updater's own port objects are left alone.
  void resetUSBBus();

  USBBusManager(const USBBusManager&) = delete;
  USBBusManager& operator=(const USBBusManager&) = delete;

 private:
  USBBusManager() = default;
};
