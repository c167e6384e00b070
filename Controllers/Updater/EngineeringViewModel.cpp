#include "Controllers/Updater/EngineeringViewModel.h"

#include <chrono>
#include <ctime>
#include <fstream>
#include <future>
#include <iterator>

#include "Updater/MidiApi.h"
#include "Utils/Trace.h"

namespace {

constexpr uint8_t kSysExStart = 0xF0;
constexpr uint8_t kSysExEnd = 0xF7;

void globalCallback(double /*timestamp*/, std::vector<unsigned char>* message, void* userData) {
  if (message == nullptr || userData == nullptr) return;
  static_cast<EngineeringViewModel*>(userData)->pushInput(message);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// One hex pair, both characters hex digits. (A bare strtol would also take
// "+1", "-1" or a tab before a digit, which are not bytes anyone typed.)
bool stringToI(const std::string& pair, uint8_t& out) {
  if (pair.size() != 2) return false;
  const int hi = hexDigit(pair[0]);
  const int lo = hexDigit(pair[1]);
  if (hi < 0 || lo < 0) return false;
  out = static_cast<uint8_t>(hi * 16 + lo);
  return true;
}

std::string portNameOf(RtMidi& lister, unsigned int index) {
  try {
    return lister.getPortName(index);
  } catch (const RtMidiError&) {
    return {};
  }
}

unsigned int portCountOf(RtMidi& lister) {
  try {
    return lister.getPortCount();
  } catch (const RtMidiError&) {
    return 0;
  }
}

// The port the user picked by its 1-based index in the list they saw, and
// the number under which the MIDI service lists it now. Opening a port (ours
// included) can renumber the others, so the pick is found again by name;
// only a list not yet filled falls back to the bare number. "" when the port
// is gone.
std::string findPicked(RtMidi* lister, const std::vector<std::string>& shown, int index, unsigned int& number) {
  if (lister == nullptr || index < 1) return {};
  if (static_cast<size_t>(index) > shown.size()) {
    if (!shown.empty()) return {};
    number = static_cast<unsigned int>(index - 1);
    return portNameOf(*lister, number);
  }
  const std::string& wanted = shown[static_cast<size_t>(index - 1)];
  const unsigned int count = portCountOf(*lister);
  for (unsigned int i = 0; i < count; ++i) {
    if (portNameOf(*lister, i) == wanted) {
      number = i;
      return wanted;
    }
  }
  return {};
}

std::string openFailure(const std::string& name, int index, const char* direction, const std::string& reason) {
  return "Cannot open port: " + (name.empty() ? std::to_string(index) : name) + direction +
         (reason.empty() ? "" : " (" + reason + ")");
}

}  // namespace

EngineeringViewModel::EngineeringViewModel()
    : inputLister_(Updater::createMidiIn("RtMidi Input Client", 100)),
      outputLister_(Updater::createMidiOut("RtMidi Output Client")) {}

EngineeringViewModel::~EngineeringViewModel() {
  watching_ = false;
  {
    std::lock_guard<std::mutex> lock(watchLock_);
  }
  watchCv_.notify_all();
  {
    std::lock_guard<std::mutex> lock(portLock_);
  }
  if (portWatcher_ && portWatcher_->joinable()) portWatcher_->join();

  // Stop a running send and let everything queued before this point end:
  // the queue's worker outlives this object, so no task may still be about
  // to touch it when the members go.
  closing_ = true;
  {
    std::lock_guard<std::mutex> lock(responseLock_);
    cancelled_ = true;
  }
  responseCondition_.notify_all();
  auto drained = std::make_shared<std::promise<void>>();
  auto done = drained->get_future();
  if (sendQueue_.async([drained] { drained->set_value(); })) done.wait();
  sendQueue_.stop();

  closePorts();
}

void EngineeringViewModel::closePorts() {
  std::lock_guard<std::mutex> lock(portLock_);
  if (input_) {
    try {
      input_->cancelCallback();
      input_->closePort();
    } catch (const RtMidiError&) {
    }
    input_.reset();
  }
  if (output_) {
    try {
      output_->closePort();
    } catch (const RtMidiError&) {
    }
    output_.reset();
  }
}

void EngineeringViewModel::start() {
  {
    std::lock_guard<std::mutex> lock(portLock_);
    inPorts_.clear();
    outPorts_.clear();
  }
  if (portWatcher_) return;
  watching_ = true;
  portWatcher_ = std::make_shared<std::thread>(&EngineeringViewModel::portWatcher, this);
}

void EngineeringViewModel::registerPortListCallback(std::function<void()> callback) {
  std::lock_guard<std::mutex> lock(callbackLock_);
  portListCallback_ = std::move(callback);
}

void EngineeringViewModel::registerInputTextCallback(std::function<void(std::string)> callback) {
  std::lock_guard<std::mutex> lock(callbackLock_);
  inputTextCallback_ = std::move(callback);
}

void EngineeringViewModel::registerSystemOutputCallback(std::function<void(std::string, int)> callback) {
  std::lock_guard<std::mutex> lock(callbackLock_);
  outputLogCallback_ = std::move(callback);
}

void EngineeringViewModel::registerSystemInputTextCallback(std::function<void(std::string, int)> callback) {
  std::lock_guard<std::mutex> lock(callbackLock_);
  inputLogCallback_ = std::move(callback);
}

int EngineeringViewModel::getInPortCount() {
  std::lock_guard<std::mutex> lock(portLock_);
  return static_cast<int>(inPorts_.size());
}

int EngineeringViewModel::getOutPortCount() {
  std::lock_guard<std::mutex> lock(portLock_);
  return static_cast<int>(outPorts_.size());
}

std::string EngineeringViewModel::getInPort(int i) {
  std::lock_guard<std::mutex> lock(portLock_);
  if (i < 0 || static_cast<size_t>(i) >= inPorts_.size()) return {};
  return inPorts_[static_cast<size_t>(i)];
}

std::string EngineeringViewModel::getOutPort(int i) {
  std::lock_guard<std::mutex> lock(portLock_);
  if (i < 0 || static_cast<size_t>(i) >= outPorts_.size()) return {};
  return outPorts_[static_cast<size_t>(i)];
}

int EngineeringViewModel::getSelectedInput() {
  std::lock_guard<std::mutex> lock(portLock_);
  return selectedInput_;
}

int EngineeringViewModel::getSelectedOutput() {
  std::lock_guard<std::mutex> lock(portLock_);
  return selectedOutput_;
}

std::string EngineeringViewModel::toiHex(uint8_t byte) {
  static const char digits[] = "0123456789ABCDEF";
  return {digits[byte >> 4], digits[byte & 0x0F]};
}

std::string EngineeringViewModel::timeStamp() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char buf[32];
  const size_t n = std::strftime(buf, sizeof buf, "%H-%M-%S", &local);
  std::snprintf(buf + n, sizeof buf - n, ":%03d", static_cast<int>(millis));
  return buf;
}

void EngineeringViewModel::inLog(const std::string& text, int kind) {
  std::function<void(std::string, int)> callback;
  {
    std::lock_guard<std::mutex> lock(callbackLock_);
    callback = inputLogCallback_;
  }
  if (callback) callback("[" + timeStamp() + "]: " + text + "\n", kind);
}

void EngineeringViewModel::outLog(const std::string& text, int kind) {
  std::function<void(std::string, int)> callback;
  {
    std::lock_guard<std::mutex> lock(callbackLock_);
    callback = outputLogCallback_;
  }
  if (callback) callback("[" + timeStamp() + "]: " + text + "\n", kind);
}

template <typename Lister>
bool EngineeringViewModel::refreshList(Lister& lister, std::vector<std::string>& list,
                                       const std::string& selectedName, bool& selectionPresent) {
  bool changed = false;
  selectionPresent = false;
  const unsigned int count = portCountOf(lister);
  for (unsigned int i = 0; i < count; ++i) {
    const std::string name = portNameOf(lister, i);
    if (!selectedName.empty() && name == selectedName) selectionPresent = true;
    if (i < list.size()) {
      if (list[i] != name) {
        list[i] = name;
        changed = true;
      }
    } else {
      list.push_back(name);
      changed = true;
    }
  }
  if (list.size() > count) {
    list.resize(count);
    changed = true;
  }
  return changed;
}

void EngineeringViewModel::portWatcher() {
  bool first = true;
  while (watching_) {
    bool changed = first;
    first = false;
    bool inPresent = false;
    bool outPresent = false;
    {
      std::lock_guard<std::mutex> lock(portLock_);
      if (inputLister_) changed |= refreshList(*inputLister_, inPorts_, selectedInputName_, inPresent);
      if (outputLister_) changed |= refreshList(*outputLister_, outPorts_, selectedOutputName_, outPresent);
    }
    if (changed || !inPresent || !outPresent) {
      if (!inPresent) selectInPort(0);
      if (!outPresent) selectOutPort(0);
      std::function<void()> callback;
      {
        std::lock_guard<std::mutex> lock(callbackLock_);
        callback = portListCallback_;
      }
      if (callback) callback();
    }
    std::unique_lock<std::mutex> lock(watchLock_);
    watchCv_.wait_for(lock, std::chrono::milliseconds(kPortWatchInterval), [this] { return !watching_; });
  }
}

namespace {

using LogLines = std::vector<std::pair<std::string, int>>;

// Moves one direction's selection to the port at a 1-based index (0: none),
// closing the port open before. Inputs and outputs differ only in how their
// RtMidi object is made, prepared after opening and quietened before closing.
// Returns the log lines to send once the port lock is released, so that a log
// callback may call back into the model.
template <typename MidiObject, typename Make, typename AfterOpen, typename BeforeClose>
LogLines switchPort(int index, int& selected, std::string& selectedName, std::shared_ptr<MidiObject>& open,
                    const std::vector<std::string>& shown, const std::string& direction, const char* portName,
                    Make make, AfterOpen afterOpen, BeforeClose beforeClose) {
  LogLines lines;
  if (index == selected) return lines;
  selected = index;

  if (open) {
    // The name the port was opened under: the list may already have moved on.
    lines.emplace_back("Close port: " + selectedName + direction, EngineeringViewModel::LogProblem);
    try {
      beforeClose(*open);
      open->closePort();
    } catch (const RtMidiError&) {
    }
    open.reset();
  }
  selectedName.clear();
  if (index == 0) return lines;

  std::string error;
  std::shared_ptr<MidiObject> port = make(&error);
  unsigned int number = 0;
  const std::string name = findPicked(port.get(), shown, index, number);
  if (!port || name.empty()) {
    lines.emplace_back(openFailure(name, index, direction.c_str(), error), EngineeringViewModel::LogProblem);
    selected = 0;
    return lines;
  }
  try {
    port->openPort(number, portName);
    afterOpen(*port);
  } catch (const RtMidiError& e) {
    lines.emplace_back(openFailure(name, index, direction.c_str(), e.getMessage()), EngineeringViewModel::LogProblem);
    selected = 0;
    return lines;
  }
  open = std::move(port);
  selectedName = name;
  lines.emplace_back("Open port: " + name + direction, EngineeringViewModel::LogSuccess);
  return lines;
}

}  // namespace

void EngineeringViewModel::selectInPort(int index) {
  LogLines lines;
  {
    std::lock_guard<std::mutex> lock(portLock_);
    lines = switchPort(
        index, selectedInput_, selectedInputName_, input_, inPorts_, "[in]", "RtMidi Input",
        [](std::string* error) { return Updater::createMidiIn("RtMidi Input Client", 100, error); },
        [this](RtMidiIn& port) {
          port.setCallback(&globalCallback, this);
          port.ignoreTypes(false, false, false);
        },
        [](RtMidiIn& port) { port.cancelCallback(); });
  }
  for (const auto& [text, kind] : lines) inLog(text, kind);
}

void EngineeringViewModel::selectOutPort(int index) {
  LogLines lines;
  {
    std::lock_guard<std::mutex> lock(portLock_);
    lines = switchPort(
        index, selectedOutput_, selectedOutputName_, output_, outPorts_, "[out]", "RtMidi Output",
        [](std::string* error) { return Updater::createMidiOut("RtMidi Output Client", error); },
        [](RtMidiOut&) {}, [](RtMidiOut&) {});
  }
  for (const auto& [text, kind] : lines) outLog(text, kind);
}

void EngineeringViewModel::setSendType(bool waitForResponse) {
  std::lock_guard<std::mutex> lock(settingsLock_);
  waitForResponse_ = waitForResponse;
}

void EngineeringViewModel::setDelayTime(bool enabled, int milliseconds) {
  std::lock_guard<std::mutex> lock(settingsLock_);
  delayEnabled_ = enabled;
  delay_ = milliseconds < 0 ? 0 : milliseconds;
}

void EngineeringViewModel::pushInput(std::vector<uint8_t>* bytes) {
  if (bytes == nullptr) return;
  std::string text;
  text.reserve(bytes->size() * 3 + 2);
  bool ended = false;
  for (uint8_t b : *bytes) {
    text += toiHex(b);
    if (b == kSysExEnd) ended = true;
    if (!ended) text += ' ';
  }
  text += "\n\n";
  const bool sysex = bytes->size() >= 2 && bytes->front() == kSysExStart;
  inLog(std::string("Received ") + (sysex ? "SysEx " : "CC ") + text, LogInfo);

  std::function<void(std::string)> callback;
  {
    std::lock_guard<std::mutex> lock(callbackLock_);
    callback = inputTextCallback_;
  }
  if (callback) callback(text);

  {
    std::lock_guard<std::mutex> lock(responseLock_);
    responseReceived_ = true;
  }
  responseCondition_.notify_all();
}

bool EngineeringViewModel::waitResponse(int milliseconds) {
  std::unique_lock<std::mutex> lock(responseLock_);
  responseCondition_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                              [this] { return responseReceived_ || cancelled_; });
  const bool any = responseReceived_ || cancelled_;
  responseReceived_ = false;
  return any;
}

void EngineeringViewModel::pause(int milliseconds) {
  std::unique_lock<std::mutex> lock(responseLock_);
  responseCondition_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return cancelled_.load(); });
}

std::vector<std::vector<uint8_t>> EngineeringViewModel::parseCommandList(std::string text) {
  std::vector<std::vector<uint8_t>> messages;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string typed = text.substr(start, end - start);
    start = end + 1;

    std::string line;
    line.reserve(typed.size());
    for (char c : typed) {
      if (c != ' ') line.push_back(c);
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(line.size() / 2);
    bool readable = line.size() % 2 == 0;
    for (size_t i = 0; readable && i < line.size(); i += 2) {
      uint8_t b = 0;
      readable = stringToI(line.substr(i, 2), b);
      bytes.push_back(b);
    }
    if (!readable) {
      outLog("Impossible to convert into byte array from:\n\n" + typed + "\n\n", LogProblem);
      return {};
    }
    if (bytes.size() < 2) continue;
    if (bytes.front() != kSysExStart || bytes.back() != kSysExEnd) {
      outLog("Not SysEx:\n\n" + typed + "\n\n", LogProblem);
      return {};
    }
    messages.push_back(std::move(bytes));
  }
  return messages;
}

void EngineeringViewModel::send(std::string text, std::function<void(bool, float)> completion) {
  if (closing_) return;
  cancelled_ = false;
  std::shared_ptr<RtMidiOut> output;
  std::shared_ptr<RtMidiIn> input;
  {
    std::lock_guard<std::mutex> lock(portLock_);
    output = output_;
    input = input_;
  }
  sendQueue_.async([this, output, input, completion = std::move(completion), text = std::move(text)] {
    runSend(output, input, completion, text);
  });
}

void EngineeringViewModel::cancel() {
  {
    std::lock_guard<std::mutex> lock(responseLock_);
    cancelled_ = true;
  }
  responseCondition_.notify_all();
  sendQueue_.async([this] { cancelled_ = false; });
}

void EngineeringViewModel::runSend(std::shared_ptr<RtMidiOut> output, std::shared_ptr<RtMidiIn> input,
                                   Completion completion, const std::string& text) {
  auto report = [&](bool done, float progress) {
    if (completion) completion(done, progress);
  };
  if (closing_) return;
  bool waitForResponse;
  bool delayEnabled;
  int delay;
  {
    std::lock_guard<std::mutex> lock(settingsLock_);
    waitForResponse = waitForResponse_;
    delayEnabled = delayEnabled_;
    delay = delay_;
  }
  if (!output) {
    outLog("Output port not selected\n", LogProblem);
    report(true, 0.0f);
    return;
  }
  if (!input && waitForResponse) {
    outLog("Input port not selected\n", LogProblem);
    report(true, 0.0f);
    return;
  }
  const auto messages = parseCommandList(text);
  if (messages.empty()) {
    outLog("Nothing to send\n", LogProblem);
    report(true, 0.0f);
    return;
  }
  const size_t count = messages.size();
  outLog(count == 1 ? "Send command" : "Start sending command list", LogInfo);

  size_t sent = 0;
  for (size_t i = 0; i < count && !cancelled_; ++i) {
    const auto& m = messages[i];
    std::string head = "Send message[" + std::to_string(i) + "]:";
    for (size_t k = 0; k < std::min<size_t>(10, m.size()); ++k) head += toiHex(m[k]) + " ";
    if (m.size() > 10) head += "...";
    outLog(head, LogInfo);

    {
      // A reply counts for the message that was just sent, not for one before it.
      std::lock_guard<std::mutex> lock(responseLock_);
      responseReceived_ = false;
    }
    try {
      output->sendMessage(&m);
    } catch (const RtMidiError& e) {
      outLog("Send failed: " + e.getMessage(), LogProblem);
      break;
    }
    ++sent;

    if (waitForResponse) {
      const bool answered = waitResponse(kResponseTimeout);
      if (!cancelled_) outLog(answered ? "Response received" : "Response timed out", answered ? LogSuccess : LogProblem);
    } else if (delayEnabled) {
      pause(delay);
      if (!cancelled_) outLog("Delay " + std::to_string(delay) + "ms", LogInfo);
    }
    outLog("Progress: [" + std::to_string(i + 1) + "/" + std::to_string(count) + "]\n", LogInfo);
    report(false, static_cast<float>(i + 1) / static_cast<float>(count));
  }
  if (count > 1) outLog(sent == count ? "All messages sent" : "Sending stopped", sent == count ? LogInfo : LogProblem);
  // The end of a stopped send reports how far it got, not a full bar.
  report(true, static_cast<float>(sent) / static_cast<float>(count));
}

std::string EngineeringViewModel::fileToMidiString(std::string path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::string text;
  text.reserve(bytes.size() * 3);
  std::string trace;
  trace.reserve(bytes.size() * 3);
  bool afterEnd = false;
  for (char c : bytes) {
    const auto b = static_cast<uint8_t>(c);
    if (afterEnd) text += "\n\n";
    const std::string hex = toiHex(b);
    text += hex;
    afterEnd = b == kSysExEnd;
    if (!afterEnd) text += ' ';
    trace += hex;
    trace += '\n';
  }
  Trace::write(trace);
  return text;
}
