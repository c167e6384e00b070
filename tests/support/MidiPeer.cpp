#include "MidiPeer.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

#include "Updater/MidiApi.h"

namespace velorin::test {
namespace {

std::atomic<int> nextPeer{1};

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Index of the listed port whose full name ends in ":" + port.
template <typename MidiObject>
std::optional<unsigned int> findPort(MidiObject& midi, const std::string& fullName) {
  try {
    const unsigned int count = midi.getPortCount();
    for (unsigned int i = 0; i < count; ++i) {
      if (midi.getPortName(i) == fullName) return i;
    }
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

template <typename MidiObject>
std::string findFullName(MidiObject& midi, const std::string& port) {
  const unsigned int count = midi.getPortCount();
  for (unsigned int i = 0; i < count; ++i) {
    const std::string name = midi.getPortName(i);
    if (endsWith(name, ":" + port) || name == port) return name;
  }
  return {};
}

// Threads started to vanish from inside a MIDI callback (a callback cannot
// destroy its own RtMidi object); joined when the peer goes.
struct VanishThreads {
  std::mutex mutex;
  std::vector<std::thread> threads;
};

}  // namespace

MidiPeer::MidiPeer(Mode mode) : mode_(mode) {
  portBase_ = "velorin-peer-" + std::to_string(getpid()) + "-" + std::to_string(nextPeer++);
  std::string problem;
  std::optional<RtMidi::Api> api = Updater::midiApi();
  if (!api) {
    error_ = Updater::midiApiChoice().error;
    return;
  }
  try {
    // The input delivers on the JACK thread as soon as its port is open, and
    // an answer goes out through out_: so out_ is complete, and published
    // under the lock, before the input port opens.
    auto out = std::make_unique<RtMidiOut>(*api, "velorin peer");
    out->openVirtualPort(portBase_ + "-out");
    auto in = std::make_unique<RtMidiIn>(*api, "velorin peer", 100);
    in->setCallback(&MidiPeer::onMessage, this);
    in->ignoreTypes(false, false, false);
    RtMidiIn* input = in.get();
    {
      std::lock_guard<std::mutex> guard(midiMutex_);
      out_ = std::move(out);
      in_ = std::move(in);
    }
    input->openVirtualPort(portBase_ + "-in");
  } catch (const std::exception& e) {
    error_ = std::string("cannot open the peer's virtual ports: ") + e.what();
    return;
  }
  // The names under which the code under test lists them: our input ports
  // list outputs, our output ports list inputs.
  std::shared_ptr<RtMidiIn> inputLister = Updater::createMidiIn("velorin peer lister", 100, &problem);
  std::shared_ptr<RtMidiOut> outputLister = Updater::createMidiOut("velorin peer lister", &problem);
  if (!inputLister || !outputLister) {
    error_ = "cannot list ports: " + problem;
    return;
  }
  try {
    outputName_ = findFullName(*inputLister, portBase_ + "-out");
    inputName_ = findFullName(*outputLister, portBase_ + "-in");
  } catch (const std::exception& e) {
    error_ = std::string("cannot list ports: ") + e.what();
    return;
  }
  if (outputName_.empty() || inputName_.empty()) {
    error_ = "the peer's virtual ports are not listed";
    return;
  }
  ok_ = true;
}

namespace {
VanishThreads& vanishThreads() {
  static VanishThreads threads;
  return threads;
}
}  // namespace

MidiPeer::~MidiPeer() {
  {
    VanishThreads& pending = vanishThreads();
    std::lock_guard<std::mutex> guard(pending.mutex);
    for (std::thread& thread : pending.threads) thread.join();
    pending.threads.clear();
  }
  vanish();
}

void MidiPeer::setMode(Mode mode) {
  std::lock_guard<std::mutex> guard(mutex_);
  mode_ = mode;
}

void MidiPeer::addReply(const MidiBytes& request, const MidiBytes& reply) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (auto& [known, answer] : replies_) {
    if (known == request) {
      answer = reply;
      return;
    }
  }
  replies_.emplace_back(request, reply);
}

void MidiPeer::setDefaultReply(const MidiBytes& reply) {
  std::lock_guard<std::mutex> guard(mutex_);
  defaultReply_ = reply;
}

void MidiPeer::setHandler(Handler handler) {
  std::lock_guard<std::mutex> guard(mutex_);
  handler_ = std::move(handler);
}

bool MidiPeer::send(const MidiBytes& message) {
  std::lock_guard<std::mutex> guard(midiMutex_);
  if (!out_ || message.empty()) return false;
  try {
    out_->sendMessage(message.data(), message.size());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void MidiPeer::vanish() {
  std::unique_ptr<RtMidiIn> in;
  std::unique_ptr<RtMidiOut> out;
  {
    std::lock_guard<std::mutex> guard(midiMutex_);
    in = std::move(in_);
    out = std::move(out_);
  }
  // Destroyed outside the lock: destroying waits for the MIDI thread, which
  // may be waiting for the lock in onMessage.
  try {
    if (in) {
      in->cancelCallback();
      in->closePort();
    }
    if (out) out->closePort();
  } catch (const std::exception&) {
  }
}

void MidiPeer::vanishOnNextRequest() {
  std::lock_guard<std::mutex> guard(mutex_);
  vanishOnNext_ = true;
}

std::vector<MidiBytes> MidiPeer::received() {
  std::lock_guard<std::mutex> guard(mutex_);
  return received_;
}

bool MidiPeer::waitForReceived(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(mutex_);
  return receivedCv_.wait_for(guard, timeout, [&] { return received_.size() >= count; });
}

void MidiPeer::onMessage(double /*timestamp*/, std::vector<unsigned char>* message, void* self) {
  if (message && self) static_cast<MidiPeer*>(self)->handle(MidiBytes(message->begin(), message->end()));
}

bool MidiPeer::isHandshake(const MidiBytes& message) {
  return message.size() == 6 && message[0] == 0xF0 && message[1] == 0x7D && message[2] == 0x7F &&
         message[3] == 0x7E && message[5] == 0xF7;
}

void MidiPeer::handle(const MidiBytes& message) {
  if (isHandshake(message)) {
    send({0xF0, 0x7D, 0x7F, 0x7F, message[4], 0xF7});
    return;
  }
  std::vector<MidiBytes> answers;
  bool vanishNow = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    received_.push_back(message);
    if (vanishOnNext_) {
      vanishOnNext_ = false;
      vanishNow = true;
    } else if (handler_) {
      if (std::optional<std::vector<MidiBytes>> result = handler_(message)) answers = *result;
    } else if (mode_ == Mode::Echo) {
      answers.push_back(message);
    } else if (mode_ == Mode::Reply) {
      auto found = std::find_if(replies_.begin(), replies_.end(),
                                [&](const auto& entry) { return entry.first == message; });
      if (found != replies_.end()) {
        answers.push_back(found->second);
      } else if (!defaultReply_.empty()) {
        answers.push_back(defaultReply_);
      }
    }
  }
  receivedCv_.notify_all();
  if (vanishNow) {
    VanishThreads& pending = vanishThreads();
    std::lock_guard<std::mutex> guard(pending.mutex);
    pending.threads.emplace_back([this] { vanish(); });
    return;
  }
  for (const MidiBytes& answer : answers) send(answer);
}

std::optional<unsigned int> MidiPeer::indexForInputPort() const {
  std::shared_ptr<RtMidiIn> lister = Updater::createMidiIn("velorin peer lister");
  if (!lister) return std::nullopt;
  return findPort(*lister, outputName_);
}

std::optional<unsigned int> MidiPeer::indexForOutputPort() const {
  std::shared_ptr<RtMidiOut> lister = Updater::createMidiOut("velorin peer lister");
  if (!lister) return std::nullopt;
  return findPort(*lister, inputName_);
}

std::shared_ptr<Updater::MidiPortIn> MidiPeer::makeInputPort() const {
  std::optional<unsigned int> index = indexForInputPort();
  if (!index) return nullptr;
  return std::make_shared<Updater::MidiPortIn>(outputName_, *index);
}

std::shared_ptr<Updater::MidiPortOut> MidiPeer::makeOutputPort() const {
  std::optional<unsigned int> index = indexForOutputPort();
  if (!index) return nullptr;
  return std::make_shared<Updater::MidiPortOut>(inputName_, *index);
}

std::shared_ptr<Updater::MidiConnection> MidiPeer::connect() const {
  std::shared_ptr<Updater::MidiPortIn> in = makeInputPort();
  std::shared_ptr<Updater::MidiPortOut> out = makeOutputPort();
  if (!in || !out || !in->open() || !out->open()) return nullptr;
  auto connection = std::make_shared<Updater::MidiConnection>(in, out);
  if (!connection->setSelfCallback()) return nullptr;
  // Numbered probes: the peer answers in order, so once the answer to the
  // last probe is in, no answer to an earlier one can follow.
  constexpr int kProbes = 20;
  constexpr int kProbeWaitMs = 500;
  for (int n = 0; n < kProbes; ++n) {
    const auto number = static_cast<uint8_t>(n);
    auto answer = std::make_shared<VxMidiTrigger>("F0 7D 7F 7F " + HexString::make_hex_string(n, true) + " F7");
    if (connection->sendAndWait({0xF0, 0x7D, 0x7F, 0x7E, number, 0xF7}, answer, kProbeWaitMs, true)) {
      return connection;
    }
  }
  return nullptr;
}

}  // namespace velorin::test
