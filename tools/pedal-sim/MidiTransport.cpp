#include <exception>

#include "Transport.h"
#include "Updater/MidiApi.h"

namespace PedalSim {
namespace {

class MidiEndpoint : public Endpoint {
 public:
  explicit MidiEndpoint(Transport::Receiver receiver) : receiver_(std::move(receiver)) {}

  ~MidiEndpoint() override {
    // Closing the input first guarantees that no callback runs any more when
    // the receiver goes away.
    if (in_) {
      try {
        in_->cancelCallback();
        in_->closePort();
      } catch (const std::exception&) {
      }
    }
    in_.reset();
    out_.reset();
  }

  bool open(const std::string& inName, const std::string& outName, std::string* error) {
    // Each RtMidi object is a client of the MIDI service; name the clients
    // like the ports so that full port names read "Kesmet:Kesmet".
    in_ = Updater::createMidiIn(inName, 1024, error);
    out_ = Updater::createMidiOut(outName, error);
    if (!in_ || !out_) return false;
    try {
      in_->ignoreTypes(false, true, true);
      in_->setCallback(&MidiEndpoint::onMessage, this);
      in_->openVirtualPort(inName);
      out_->openVirtualPort(outName);
    } catch (const std::exception& e) {
      if (error) *error = e.what();
      return false;
    }
    return true;
  }

  bool send(const MidiBytes& bytes) override {
    try {
      out_->sendMessage(&bytes);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }

 private:
  static void onMessage(double, std::vector<unsigned char>* message, void* user) {
    if (message && !message->empty()) static_cast<MidiEndpoint*>(user)->receiver_(*message);
  }

  Transport::Receiver receiver_;
  std::shared_ptr<RtMidiIn> in_;
  std::shared_ptr<RtMidiOut> out_;
};

class MidiTransport : public Transport {
 public:
  std::unique_ptr<Endpoint> open(const std::string& inName, const std::string& outName, Receiver receiver,
                                 std::string* error) override {
    auto endpoint = std::make_unique<MidiEndpoint>(std::move(receiver));
    if (!endpoint->open(inName, outName, error)) return nullptr;
    return endpoint;
  }
};

}  // namespace

std::shared_ptr<Transport> makeMidiTransport() { return std::make_shared<MidiTransport>(); }

}  // namespace PedalSim
