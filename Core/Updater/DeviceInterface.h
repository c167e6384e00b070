#pragma once

#include <any>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "Updater/plugins/Ventrix/HexUtil.h"

namespace Updater {

class Connection;

// Named flags that the update procedures leave on one command table object
// for the programmer. Values are booleans; the only key in use is
// "localupdate" (true while a file picked by the user is being installed).
using UserCtr = std::map<std::string, std::any>;

// The SysEx vocabulary of one pedal type or boot code: for each command key a
// message, a trigger pattern, a response expression or an integer.
//
// A table is immutable after construction except for its user context, which
// has no lock: only the update thread writes and reads it.
class DeviceInterface {
 public:
  DeviceInterface() = default;
  // Virtual so that a table released through a base pointer is destroyed
  // completely, whoever created it.
  virtual ~DeviceInterface() = default;

  DeviceInterface(const DeviceInterface&) = default;
  DeviceInterface& operator=(const DeviceInterface&) = default;

  // True for a negative acknowledgement: an empty or truncated reply (fewer
  // than 8 bytes), or one whose status byte at index 7 is 0x46 ('F').
  virtual bool isNak(const MidiBytes& reply) const = 0;
  virtual std::string classVersion() const = 0;
  // False for pedals that are programmed in user code, message by message,
  // without a switch to boot code.
  virtual bool hasBootcode() const;
  // The pedal reports code bank information ("id.dsp1" is known).
  virtual bool hasDSP() const;
  // The message that ends programming; empty when none is sent.
  virtual MidiBytes lastProgrammingMsg() const;
  virtual std::string productPortName() const = 0;
  virtual std::string productInPortName() const;
  virtual std::string productOutPortName() const;
  virtual std::string productName() const = 0;
  // family << 16 | product
  virtual uint32_t fidpid() const = 0;
  virtual uint32_t rawFidpid() const;
  // The stored value, or an empty value for an unknown key.
  virtual std::any lookup(const std::string& key) const = 0;
  // Both throw std::bad_any_cast (a std::bad_cast) when the key is unknown
  // or holds the other kind of value; callers that may meet a missing key
  // catch it.
  virtual int lookupInt(const std::string& key) const = 0;
  virtual std::string lookupStr(const std::string& key) const = 0;
  virtual bool isBootcode() const = 0;

  // Replaces any earlier value of the key.
  void setUserCtxBool(const std::string& key, bool value);
  // The stored flag, or fallback when the key was never set. A key holding a
  // non-boolean throws std::bad_any_cast.
  bool getUserCtxBool(const std::string& key, bool fallback) const;

 protected:
  // Carried for other clients of the tables; every constructor leaves it
  // empty and the updater never reads it.
  std::shared_ptr<Connection> connection;

 private:
  UserCtr userCtx_;
};

}  // namespace Updater
