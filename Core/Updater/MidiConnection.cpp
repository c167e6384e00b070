#include "Updater/MidiConnection.h"

#include <chrono>
#include <utility>

#include "Utils/Trace.h"

namespace Updater {
namespace {
std::atomic<int> nextConnectionId{1};
}  // namespace

void globalMidiCallback(double timestamp, std::vector<unsigned char>* message, void* userData) {
  if (!userData) return;
  static_cast<MidiConnection*>(userData)->midiCallback(timestamp, message, userData);
}

MidiConnection::MidiConnection(std::shared_ptr<MidiPortIn> inputPort,
                               std::shared_ptr<MidiPortOut> outputPort)
    : Connection(kKindMidi),
      id_(nextConnectionId++),
      inputPort_(std::move(inputPort)),
      outputPort_(std::move(outputPort)) {}

MidiConnection::~MidiConnection() {
  // The port outlives the connection (the scanner keeps it); it must not
  // deliver to a connection that is gone.
  if (std::shared_ptr<MidiPortIn> in = getInputPort()) in->cancelCallbackFor(this);
}

std::shared_ptr<MidiPortIn> MidiConnection::getInputPort() {
  std::lock_guard<std::mutex> guard(portsMutex_);
  return inputPort_;
}

std::shared_ptr<MidiPortOut> MidiConnection::getOutputPort() {
  std::lock_guard<std::mutex> guard(portsMutex_);
  return outputPort_;
}

void MidiConnection::midiCallback(double /*timestamp*/, std::vector<unsigned char>* message,
                                  void* /*userData*/) {
  if (!message) return;
  MidiBytes bytes(message->begin(), message->end());
  std::shared_ptr<VxMidiTrigger> trigger;
  {
    std::lock_guard<std::mutex> guard(responseMutex_);
    lastReceived_ = bytes;
    response_ = true;
    trigger = trigger_.lock();
  }
  responseArrived_.notify_all();
  if (trigger) trigger->push(bytes);
}

bool MidiConnection::setSelfCallback() {
  std::shared_ptr<MidiPortIn> in = getInputPort();
  if (!in) return false;
  // The port lock only keeps the scanner from probing through the port while
  // the receiver changes; installing works without it.
  const bool locked = in->lock();
  const bool installed = in->setCallback(&globalMidiCallback, this);
  if (locked) in->unlock();
  return installed;
}

void MidiConnection::setTrigger(const std::shared_ptr<VxMidiTrigger>& trigger) {
  std::lock_guard<std::mutex> guard(responseMutex_);
  trigger_ = trigger;
}

bool MidiConnection::send(const MidiBytes& request) {
  if (request.empty()) return false;
  std::shared_ptr<MidiPortOut> out = getOutputPort();
  if (!out) return false;
  if (out->send(request)) return true;
  // The device is gone or the MIDI service failed: close both ports so that
  // every later request fails at once instead of waiting out its time-out.
  std::shared_ptr<MidiPortIn> in;
  {
    std::lock_guard<std::mutex> guard(portsMutex_);
    in = std::move(inputPort_);
    out = std::move(outputPort_);
  }
  if (in) {
    in->cancelCallbackFor(this);
    in->close();
  }
  if (out) out->close();
  return false;
}

bool MidiConnection::sendAndWait(const MidiBytes& request, MidiBytes* reply, int timeout) {
  if (reply) reply->clear();
  if (!isConnectionOpened()) return false;
  {
    std::lock_guard<std::mutex> guard(responseMutex_);
    response_ = false;
    lastReceived_.clear();
  }
  if (!send(request)) return false;

  std::unique_lock<std::mutex> guard(responseMutex_);
  // The predicate also covers a reply that came in before the wait began.
  responseArrived_.wait_for(guard, std::chrono::milliseconds(timeout), [this] { return response_; });
  if (reply) *reply = lastReceived_;
  return response_;
}

bool MidiConnection::sendAndWait(const MidiBytes& request, std::shared_ptr<VxMidiTrigger> trigger,
                                 int timeout, bool release) {
  if (!trigger) return false;
  setTrigger(trigger);
  if (!isConnectionOpened()) return false;
  {
    std::lock_guard<std::mutex> guard(responseMutex_);
    response_ = false;
    lastReceived_.clear();
  }
  if (!send(request)) return false;

  setTrigger(trigger);
  trigger->setLastSent(request);
  const bool accepted = trigger->wait(timeout);
  if (release) {
    std::lock_guard<std::mutex> guard(responseMutex_);
    // Only our own trigger: a request that replaced it keeps its own.
    if (trigger_.lock() == trigger) trigger_.reset();
  }
  return accepted;
}

bool MidiConnection::sendWithoutResponse(const MidiBytes& request) {
  setTrigger(nullptr);
  if (!getOutputPort()) return false;
  return send(request);
}

void MidiConnection::deactivate() {
  std::shared_ptr<MidiPortIn> in = getInputPort();
  if (in && in->isOpened()) {
    in->cancelCallbackFor(this);
    in->close();
    std::lock_guard<std::mutex> guard(portsMutex_);
    if (inputPort_ == in) inputPort_.reset();
  }
  std::shared_ptr<MidiPortOut> out = getOutputPort();
  if (out && out->isOpened()) {
    out->close();
    std::lock_guard<std::mutex> guard(portsMutex_);
    if (outputPort_ == out) outputPort_.reset();
  }
  Trace::print("Connection deactivated %d", id_);
}

bool MidiConnection::isConnectionOpened() {
  std::shared_ptr<MidiPortIn> in;
  std::shared_ptr<MidiPortOut> out;
  {
    std::lock_guard<std::mutex> guard(portsMutex_);
    in = inputPort_;
    out = outputPort_;
  }
  return in && out && in->isOpened() && out->isOpened();
}

void MidiConnection::debugPrint() {
  std::shared_ptr<MidiPortIn> in;
  std::shared_ptr<MidiPortOut> out;
  {
    std::lock_guard<std::mutex> guard(portsMutex_);
    in = inputPort_;
    out = outputPort_;
  }
  Trace::print("%d %d", in ? in->getId() : 0, out ? out->getId() : 0);
}

}  // namespace Updater
