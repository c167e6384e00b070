#include "Updater/Port.h"

#include <chrono>
#include <exception>
#include <optional>
#include <utility>

#include "Updater/MidiApi.h"
#include "Utils/Trace.h"

namespace Updater {
namespace {

std::atomic<int> nextPortId{1};

// One trace line per MIDI message: the prefix, then "%02X " per byte.
void traceMessage(const char* prefix, const unsigned char* bytes, size_t size) {
  std::string line(prefix);
  line.reserve(line.size() + size * 3 + 1);
  static const char digits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < size; ++i) {
    line += digits[bytes[i] >> 4];
    line += digits[bytes[i] & 0x0F];
    line += ' ';
  }
  line += '\n';
  Trace::write(line);
}

// The current RtMidi port number of the port. Port numbers shift whenever
// ports of other clients come and go, so the number recorded when the port
// was listed is used only while it still carries the port's name; otherwise
// the name is looked up again. Opening whatever now sits at a stale number
// would talk to another device, and on some back ends a number past the end
// still "opens" a port connected to nothing. nullopt: the port is gone.
template <typename MidiObject>
std::optional<unsigned int> currentIndex(MidiObject& midi, unsigned int index, const std::string& name) {
  const unsigned int count = midi.getPortCount();
  if (index < count && (name.empty() || midi.getPortName(index) == name)) return index;
  if (name.empty()) return std::nullopt;
  for (unsigned int i = 0; i < count; ++i) {
    if (midi.getPortName(i) == name) return i;
  }
  return std::nullopt;
}

// RtMidi opens by number and reads the number's name again inside; when the
// ports were renumbered in between, it connects to another port. Check the
// name after opening and try again a few times.
template <typename MidiObject>
bool openByName(MidiObject& midi, unsigned int index, const std::string& name, const char* ownPort) {
  constexpr int kAttempts = 3;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::optional<unsigned int> current = currentIndex(midi, index, name);
    if (!current) return false;
    midi.openPort(*current, ownPort);
    if (name.empty() || midi.getPortName(*current) == name) return true;
    midi.closePort();
    index = *current;
  }
  return false;
}

}  // namespace

Port::Port(std::string name, unsigned int index, PortDirection direction)
    : direction_(direction), name_(std::move(name)), index_(index), id_(nextPortId++) {}

Port::~Port() = default;

bool Port::lock() {
  std::unique_lock<std::mutex> guard(lockMutex_);
  const std::thread::id self = std::this_thread::get_id();
  if (holder_ == self) return false;
  if (!lockReleased_.wait_for(guard, std::chrono::milliseconds(kLockTimeoutMs),
                              [this] { return holder_ == std::thread::id(); })) {
    return false;
  }
  holder_ = self;
  return true;
}

void Port::unlock() {
  {
    std::lock_guard<std::mutex> guard(lockMutex_);
    if (holder_ != std::this_thread::get_id()) return;
    holder_ = std::thread::id();
  }
  lockReleased_.notify_one();
}

// ---------------------------------------------------------------------------

MidiPortIn::MidiPortIn(const std::string& name, unsigned int index, PortDirection direction)
    : Port(name, index, direction) {
  midiIn_ = createMidiIn("RtMidi Input Client", 100);
  if (!midiIn_) return;
  try {
    // The port's own receiver stays installed for the object's whole life;
    // users only swap what it delivers to.
    midiIn_->setCallback(&MidiPortIn::deliver, this);
  } catch (const std::exception&) {
    midiIn_.reset();
  }
}

MidiPortIn::~MidiPortIn() {
  close();
  // A port whose close failed still holds its RtMidi object; make sure the
  // MIDI thread no longer reaches this object before it goes.
  if (std::shared_ptr<RtMidiIn> rest = midi()) {
    try {
      rest->cancelCallback();
    } catch (const std::exception&) {
    }
  }
}

std::shared_ptr<RtMidiIn> MidiPortIn::midi() {
  std::lock_guard<std::mutex> guard(midiMutex_);
  return midiIn_;
}

bool MidiPortIn::open() {
  std::lock_guard<std::mutex> guard(openCloseMutex_);
  std::shared_ptr<RtMidiIn> in = midi();
  if (!in) return false;
  try {
    if (!in->isPortOpen()) {
      if (!openByName(*in, getIndex(), getName(), "RtMidi Input")) return false;
      // SysEx, timing and active sensing all reach the receiver.
      in->ignoreTypes(false, false, false);
    }
    return in->isPortOpen();
  } catch (const std::exception&) {
    return false;
  }
}

bool MidiPortIn::close() {
  std::lock_guard<std::mutex> guard(openCloseMutex_);
  std::shared_ptr<RtMidiIn> in;
  {
    std::lock_guard<std::mutex> pointerGuard(midiMutex_);
    in = std::move(midiIn_);
  }
  if (!in) return true;
  try {
    in->cancelCallback();
    in->closePort();
  } catch (const std::exception&) {
    std::lock_guard<std::mutex> pointerGuard(midiMutex_);
    midiIn_ = std::move(in);
    return false;
  }
  // The RtMidi object goes with the last copy (a send or query in progress
  // may still hold one); it no longer calls the receiver.
  return true;
}

bool MidiPortIn::isOpened() {
  std::shared_ptr<RtMidiIn> in = midi();
  if (!in) return false;
  try {
    return in->isPortOpen();
  } catch (const std::exception&) {
    return false;
  }
}

bool MidiPortIn::setCallback(Callback callback, void* userData) {
  if (!midi()) return false;
  std::lock_guard<std::recursive_mutex> guard(callbackMutex_);
  callback_ = callback;
  userData_ = userData;
  return true;
}

bool MidiPortIn::cancelCallback() {
  std::lock_guard<std::recursive_mutex> guard(callbackMutex_);
  callback_ = nullptr;
  userData_ = nullptr;
  return midi() != nullptr;
}

void MidiPortIn::cancelCallbackFor(const void* userData) {
  std::lock_guard<std::recursive_mutex> guard(callbackMutex_);
  if (userData_ != userData) return;
  callback_ = nullptr;
  userData_ = nullptr;
}

void MidiPortIn::deliver(double timestamp, std::vector<unsigned char>* message, void* port) {
  if (!message || !port) return;
  auto* self = static_cast<MidiPortIn*>(port);
  traceMessage(">>  ", message->data(), message->size());
  std::lock_guard<std::recursive_mutex> guard(self->callbackMutex_);
  if (self->callback_) self->callback_(timestamp, message, self->userData_);
}

// ---------------------------------------------------------------------------

MidiPortOut::MidiPortOut(const std::string& name, unsigned int index, PortDirection direction)
    : Port(name, index, direction) {
  midiOut_ = createMidiOut("RtMidi Output Client");
}

MidiPortOut::~MidiPortOut() { close(); }

std::shared_ptr<RtMidiOut> MidiPortOut::midi() {
  std::lock_guard<std::mutex> guard(midiMutex_);
  return midiOut_;
}

bool MidiPortOut::open() {
  std::lock_guard<std::mutex> guard(openCloseMutex_);
  std::shared_ptr<RtMidiOut> out = midi();
  if (!out) return false;
  try {
    if (!out->isPortOpen()) {
      if (!openByName(*out, getIndex(), getName(), "RtMidi Output")) return false;
    }
    return out->isPortOpen();
  } catch (const std::exception&) {
    return false;
  }
}

bool MidiPortOut::close() {
  std::lock_guard<std::mutex> guard(openCloseMutex_);
  std::shared_ptr<RtMidiOut> out;
  {
    std::lock_guard<std::mutex> pointerGuard(midiMutex_);
    out = std::move(midiOut_);
  }
  if (!out) return true;
  try {
    out->closePort();
  } catch (const std::exception&) {
    std::lock_guard<std::mutex> pointerGuard(midiMutex_);
    midiOut_ = std::move(out);
    return false;
  }
  return true;
}

bool MidiPortOut::isOpened() {
  std::shared_ptr<RtMidiOut> out = midi();
  if (!out) return false;
  try {
    return out->isPortOpen();
  } catch (const std::exception&) {
    return false;
  }
}

bool MidiPortOut::send(const MidiBytes& message) {
  std::shared_ptr<RtMidiOut> out = midi();
  if (!out || message.empty()) return false;
  try {
    // Some back ends queue messages for a port that is not open until their
    // buffer is full and then wait for ever; never hand them one.
    if (!out->isPortOpen()) return false;
    traceMessage("<<  ", message.data(), message.size());
    out->sendMessage(message.data(), message.size());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace Updater
