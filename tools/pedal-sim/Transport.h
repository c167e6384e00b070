#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Updater/plugins/Ventrix/HexUtil.h"

namespace PedalSim {

// One open port pair of a simulated pedal (or of a MIDI interface with pedals
// behind it). Closing happens on destruction; after that no more messages
// arrive.
class Endpoint {
 public:
  virtual ~Endpoint() = default;
  virtual bool send(const MidiBytes& bytes) = 0;
};

// Creates port pairs. The RtMidi transport makes virtual MIDI ports that
// other programs see; tests may substitute an in-memory one.
class Transport {
 public:
  using Receiver = std::function<void(MidiBytes)>;
  virtual ~Transport() = default;
  // inName: the port the pedal receives on; outName: the one it sends on.
  // receiver may be called on any thread until the endpoint is destroyed.
  virtual std::unique_ptr<Endpoint> open(const std::string& inName, const std::string& outName, Receiver receiver,
                                         std::string* error) = 0;
};

// Virtual ports on the MIDI back end chosen by VELORIN_MIDI_API.
std::shared_ptr<Transport> makeMidiTransport();

}  // namespace PedalSim
