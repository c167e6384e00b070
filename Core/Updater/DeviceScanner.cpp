#include "Updater/DeviceScanner.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <exception>
#include <regex>
#include <utility>

#include "Updater/InterfaceFactory.h"
#include "Updater/MidiApi.h"
#include "Updater/plugins/Ventrix/VxMidiData.h"
#include "Updater/plugins/Ventrix/VxMidiTrigger.h"
#include "Utils/Trace.h"

namespace Updater {
namespace {

using Clock = std::chrono::steady_clock;
using Records = std::map<std::string, std::shared_ptr<DeviceInfo>>;

// Universal non-real-time identity request to every device id.
const MidiBytes kIdentityRequest{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};

// What the lower-cased name of a pedal's own USB MIDI port contains. Pedals
// without a row have no USB MIDI port of their own and are valid anywhere.
// The two pedals that share a generic boot code also accept its port.
struct PortNameRow {
  VX::DeviceType type;
  const char* expression;
};
constexpr PortNameRow kPortNames[] = {
    {VX::Kesmet, "(kesmet)"},
    {VX::Fennick, "(fennick)"},
    {VX::Yelto, "(yelto)"},
    {VX::Jorvu, "(jorvu)"},
    {VX::Rosmund, "(ros mund)"},
    {VX::Hoxa, "(hoxa)"},
    {VX::Namu, "(namu)"},
    {VX::Corvel, "(corvel)"},
    {VX::Dorvik, "(dorvik)|(recover)"},
    {VX::Pallamo, "(pallamo)|(recover)"},
    {VX::Wexley, "(wexley)"},
};

const char* portNameExpression(VX::DeviceType type) {
  for (const PortNameRow& row : kPortNames) {
    if (row.type == type) return row.expression;
  }
  return nullptr;
}

const std::regex* portNameRegex(VX::DeviceType type) {
  // Compiled once; searching a const regex is safe from any thread.
  static const std::map<VX::DeviceType, std::regex> compiled = [] {
    std::map<VX::DeviceType, std::regex> table;
    for (const PortNameRow& row : kPortNames) {
      table.emplace(row.type, std::regex(row.expression, std::regex::ECMAScript));
    }
    return table;
  }();
  auto it = compiled.find(type);
  return it == compiled.end() ? nullptr : &it->second;
}

constexpr bool isBootCodePid(uint8_t pid) { return (pid & 0xF0) == 0x40; }

template <size_t N>
bool matchesAt(const std::vector<unsigned char>& message, size_t offset,
               const std::array<uint8_t, N>& expected) {
  if (message.size() < offset + N) return false;
  return std::equal(expected.begin(), expected.end(), message.begin() + static_cast<long>(offset));
}

std::vector<uint8_t> charsOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Diagnostics of the port listers reach the trace instead of standard error;
// with a handler installed RtMidi reports instead of throwing, and a failed
// count or name then reads as no port.
void enumeratorError(RtMidiError::Type /*type*/, const std::string& text, void* /*userData*/) {
  Trace::print("[MIDI] %s\n", text.c_str());
}

// F0 00 2B 5E fid pid <command> [argument] F7
MidiBytes requestFor(uint8_t fid, uint8_t pid, uint8_t command, int argument = -1) {
  MidiBytes bytes{0xF0, 0x00, 0x2B, 0x5E, fid, pid, command};
  if (argument >= 0) bytes.push_back(static_cast<uint8_t>(argument));
  bytes.push_back(0xF7);
  return bytes;
}

// Fills the record from the entry as initalizeDevice does, but leaves it
// untouched when it already holds those values: readers look at records
// without a lock, and a record is refreshed by every cycle.
void refreshDevice(const std::shared_ptr<DeviceInfo>& info, MidiPortData& entry,
                   const std::vector<uint8_t>& esn) {
  const bool user = !isBootCodePid(entry.pid);
  const bool typed = !(entry.fid == 0x13 && entry.pid == 0x41);
  const bool same = info->esn == esn && info->fid == entry.fid && info->pid == entry.pid &&
                    (!user || (info->versionMajor == entry.versionMajor &&
                               info->versionMinorTens == entry.versionMinorTens &&
                               info->versionMinorUnits == entry.versionMinorUnits &&
                               info->isBeta == entry.isBeta)) &&
                    (!typed || info->type == entry.type);
  if (same) {
    entry.device = info;
    return;
  }
  initalizeDevice(info, entry, esn);
}

// The device a DSP or owner reply is about: the first identified entry with
// the reply's fid/pid, else the list's first device. Chained pedals each get
// their own answer this way. Call with the device-table lock held.
DeviceInfo* addressee(ScannerDeviceList* list, uint8_t fid, uint8_t pid) {
  for (const auto& entry : list->entries) {
    if (entry->device && entry->fid == fid && entry->pid == pid) return entry->device.get();
  }
  if (!list->entries.empty() && list->entries[0]->device) return list->entries[0]->device.get();
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Free helpers

uint32_t ELFHash(const std::string& text) {
  uint32_t h = 0;
  for (char c : text) {
    // Characters count as signed bytes: a byte above 0x7F subtracts.
    h = (h << 4) + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)));
    const uint32_t g = h & 0xF0000000u;
    if (g != 0) h ^= g >> 24;
    h &= ~g;
  }
  return h;
}

void removeDuplicateDevices(MidiPortDataList* list) {
  if (!list) return;
  std::vector<std::vector<uint8_t>> seen;
  size_t i = 0;
  while (i < list->size()) {
    const std::vector<uint8_t>& esn = (*list)[i]->esn;
    if (esn.empty() || std::find(seen.begin(), seen.end(), esn) != seen.end()) {
      list->erase(list->begin() + static_cast<long>(i));
    } else {
      seen.push_back(esn);
    }
    ++i;
  }
}

void connectionValidationCallback(double timestamp, std::vector<unsigned char>* message,
                                  void* userData) {
  auto* list = static_cast<ScannerDeviceList*>(userData);
  if (!list || !list->scanner || !message) return;
  list->scanner->handleMessage(timestamp, message, list);
}

// ---------------------------------------------------------------------------
// Life cycle

DeviceScanner* DeviceScanner::Instance() {
  static DeviceScanner instance;
  return &instance;
}

DeviceScanner::DeviceScanner() {
  // The trace's own statics must outlive the process-wide scanner, whose
  // destructor still writes to it at exit.
  Trace::write("");
  enumIn_ = createMidiIn("RtMidi Input Client", 100);
  enumOut_ = createMidiOut("RtMidi Output Client");
  if (enumIn_) enumIn_->setErrorCallback(&enumeratorError, nullptr);
  if (enumOut_) enumOut_->setErrorCallback(&enumeratorError, nullptr);
}

DeviceScanner::~DeviceScanner() {
  killDemon();
  // Port objects may outlive the scanner inside connections handed out; none
  // of them may call back into the lists that go with it.
  std::lock_guard<std::mutex> main(mainMutex_);
  dropAll();
}

void DeviceScanner::startDemon() {
  std::lock_guard<std::mutex> guard(demonMutex_);
  if (demon_.joinable()) return;
  Trace::write("[IO]: Init scanner demon\n");
  running_ = true;
  demon_ = std::thread(&DeviceScanner::demon, this);
}

void DeviceScanner::killDemon() {
  std::lock_guard<std::mutex> guard(demonMutex_);
  if (!demon_.joinable()) return;
  running_ = false;
  Trace::write("[IO]: Try to stop IO\n");
  resume();
  pauseChanged_.notify_all();  // also ends the sleep between cycles
  demon_.join();
  Trace::write("[IO]: IO stopped\n");
}

// ---------------------------------------------------------------------------
// Pause gate

void DeviceScanner::pause() {
  std::lock_guard<std::mutex> guard(scanerPauseMutex_);
  isScanerPaused_ = true;
}

void DeviceScanner::resume() {
  {
    std::lock_guard<std::mutex> guard(scanerPauseMutex_);
    if (!isScanerPaused_) return;
    isScanerPaused_ = false;
  }
  pauseChanged_.notify_all();
}

bool DeviceScanner::isPaused() {
  std::lock_guard<std::mutex> guard(scanerPauseMutex_);
  return isScanerPaused_;
}

bool DeviceScanner::waitAtPauseGate() {
  std::unique_lock<std::mutex> guard(scanerPauseMutex_);
  pauseChanged_.wait(guard, [this] { return !isScanerPaused_ || !running_; });
  return running_;
}

// ---------------------------------------------------------------------------
// Reply windows

bool DeviceScanner::setWaitResponse(ResponseType type) {
  std::unique_lock<std::mutex> guard(responseMutex_);
  responseFlag_ = false;
  waitType_ = type;
  // The callback does not signal: every reply in the window (several chained
  // pedals answer one request) is handled before the window closes.
  const auto end = Clock::now() + std::chrono::milliseconds(kReplyWindowMs);
  while (responseCv_.wait_until(guard, end) != std::cv_status::timeout) {
  }
  waitType_ = ResponseType::None;
  return responseFlag_;
}

void DeviceScanner::responseReceived(ResponseType type) {
  std::lock_guard<std::mutex> guard(responseMutex_);
  if (type == waitType_.load()) responseFlag_ = true;
}

// ---------------------------------------------------------------------------
// The daemon

void DeviceScanner::demon() {
  Trace::write("[IO]: Start scanner demon\n");
  while (running_) {
    if (!waitAtPauseGate()) break;
    {
      // Port maintenance and probing under one hold of the main lock: reset()
      // must not empty the input-port maps while they are being extended.
      std::lock_guard<std::mutex> main(mainMutex_);
      PortOutMap gone;
      listOutputPorts(gone);
      if (!gone.empty()) {
        {
          std::lock_guard<std::mutex> table(deviceTableMutex_);
          isBusOnReset_ = true;
        }
        // The pedals changed: start over with every port and device. A pause
        // requested by someone else meanwhile stays in force.
        const bool wasPaused = isPaused();
        if (!wasPaused) pause();
        for (auto& [name, port] : gone) port->close();
        gone.clear();
        dropAll();
        if (!wasPaused) resume();
      } else {
        std::lock_guard<std::mutex> table(deviceTableMutex_);
        isBusOnReset_ = false;
      }
      listInputPorts();
      const PortOutMap ports = outputPorts_;
      for (const auto& [name, port] : ports) {
        if (!running_) break;
        probe(port);
      }
    }
    markAbsent();
    std::unique_lock<std::mutex> guard(scanerPauseMutex_);
    pauseChanged_.wait_for(guard, std::chrono::milliseconds(kCycleSleepMs),
                           [this] { return !running_; });
  }
  Trace::write("[IO]: Scaner demon finished\n");
}

bool DeviceScanner::isOwnPort(const std::string& portName) {
  // ALSA lists "client:port client-id:port-id", JACK "client:port" with
  // "-NN" appended to a client name already in use.
  const size_t colon = portName.find(':');
  if (colon == std::string::npos) return false;
  std::string client = portName.substr(0, colon);
  const size_t dash = client.rfind('-');
  if (dash != std::string::npos && dash + 1 < client.size() &&
      std::all_of(client.begin() + static_cast<long>(dash) + 1, client.end(),
                  [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
    client.resize(dash);
  }
  const std::string port = portName.substr(colon + 1);
  return (client == "RtMidi Input Client" && port.rfind("RtMidi Input", 0) == 0) ||
         (client == "RtMidi Output Client" && port.rfind("RtMidi Output", 0) == 0);
}

void DeviceScanner::listOutputPorts(PortOutMap& gone) {
  gone = std::move(outputPorts_);
  outputPorts_.clear();
  if (!enumOut_) return;
  const unsigned int count = enumOut_->getPortCount();
  for (unsigned int i = 0; i < count; ++i) {
    const std::string name = enumOut_->getPortName(i);
    if (name.empty() || name.find("Microsoft GS") != std::string::npos || isOwnPort(name)) continue;
    std::shared_ptr<MidiPortOut> port;
    auto old = gone.find(name);
    if (old != gone.end()) {
      port = std::move(old->second);
      gone.erase(old);
    } else {
      port = std::make_shared<MidiPortOut>(name, i, PortDirection::Out);
    }
    outputPorts_[name] = port;
    // open() finds the port by its name when others were renumbered since it
    // was listed; a port that does not open is tried again next cycle.
    if (!port->isOpened()) port->open();
    Trace::print("[MIDI] Found(out): %s\n", name.c_str());
  }
}

void DeviceScanner::listInputPorts() {
  if (!enumIn_) return;
  const unsigned int count = enumIn_->getPortCount();
  for (unsigned int j = 0; j < count; ++j) {
    const std::string name = enumIn_->getPortName(j);
    if (name.empty() || isOwnPort(name) || inputPorts_.count(name) != 0) continue;
    auto port = std::make_shared<MidiPortIn>(name, j, PortDirection::In);
    auto first = std::make_shared<MidiPortData>();
    first->inputPort = port;
    auto list = std::make_unique<ScannerDeviceList>();
    list->scanner = this;
    list->entries.push_back(first);
    port->setCallback(&connectionValidationCallback, list.get());
    inputPorts_[name] = port;
    firstEntries_[name] = first;
    deviceLists_[name] = std::move(list);
  }
  // Ports that left stay until a bus change or reset(); they just fail to open.
  for (auto& [name, port] : inputPorts_) {
    if (!port->isOpened()) port->open();
  }
}

void DeviceScanner::probe(const std::shared_ptr<MidiPortOut>& port) {
  if (!port->lock()) return;
  {
    std::lock_guard<std::mutex> table(deviceTableMutex_);
    currentOutputPort_ = port;
    port->setDeviceList(nullptr);
  }
  if (!port->isOpened() || !port->send(kIdentityRequest)) {
    std::lock_guard<std::mutex> table(deviceTableMutex_);
    if (currentOutputPort_ == port) currentOutputPort_.reset();
    port->unlock();
    return;
  }
  const bool ok = setWaitResponse(ResponseType::Identity);
  ScannerDeviceList* list = nullptr;
  if (ok) {
    std::lock_guard<std::mutex> table(deviceTableMutex_);
    MidiPortDataList* linked = port->getDeviceList();
    for (auto& [name, candidate] : deviceLists_) {
      if (&candidate->entries == linked) list = candidate.get();
    }
  }
  if (list) probeList(port, list);
  port->unlock();
}

void DeviceScanner::probeList(const std::shared_ptr<MidiPortOut>& port, ScannerDeviceList* list) {
  // Serial numbers (and the owner of a shared boot code) of everything that
  // answered. The list may grow or shrink under us: re-read it every step,
  // and never hold the lock across a reply window.
  for (size_t i = 0;; ++i) {
    std::shared_ptr<MidiPortOut> entryOut;
    uint8_t fid = 0;
    uint8_t pid = 0;
    {
      std::lock_guard<std::mutex> table(deviceTableMutex_);
      if (i >= list->entries.size()) break;
      const MidiPortData& entry = *list->entries[i];
      if (entry.device && entry.device->isConnectionUnsupported) continue;
      fid = entry.fid;
      pid = entry.pid;
      entryOut = entry.outputPort;
    }
    if (fid == 0) continue;  // a free entry: nothing answered for it
    if (!running_) return;
    if (port->send(requestFor(fid, pid, 0x21))) setWaitResponse(ResponseType::ESN);
    if (fid == 0x13 && pid == 0x41 && entryOut) {
      if (entryOut->send(requestFor(fid, pid, 0x2F))) setWaitResponse(ResponseType::Gender);
    }
  }

  // Command tables, DSP and boot-code versions of the identified devices.
  for (size_t i = 0;; ++i) {
    std::shared_ptr<DeviceInfo> device;
    std::shared_ptr<MidiPortOut> entryOut;
    uint8_t fid = 0;
    uint8_t pid = 0;
    bool dspStillZero = false;
    {
      std::lock_guard<std::mutex> table(deviceTableMutex_);
      if (i >= list->entries.size()) break;
      const MidiPortData& entry = *list->entries[i];
      if (!entry.device) continue;
      device = entry.device;
      entryOut = entry.outputPort;
      fid = device->fid;
      pid = device->pid;
      const int fidpid = fid * 256 + pid;
      auto made = interfaceFidpid_.find(device.get());
      if (made == interfaceFidpid_.end() || made->second != fidpid || !device->deviceInterface) {
        device->deviceInterface = getDeviceInterfaceFromFidPid(static_cast<uint32_t>(fidpid));
        interfaceFidpid_[device.get()] = fidpid;
      }
    }
    if (!running_) return;
    if (needDspVersion(static_cast<uint32_t>(fid * 256 + pid)) && entryOut) {
      if (entryOut->send(requestFor(fid, pid, 0x42, 0x08))) setWaitResponse(ResponseType::DSP);
      {
        std::lock_guard<std::mutex> table(deviceTableMutex_);
        dspStillZero = std::all_of(device->dspVersion.begin(), device->dspVersion.end(),
                                   [](uint8_t b) { return b == 0; });
      }
      if (dspStillZero && entryOut->send(requestFor(fid, pid, 0x42, 0x09))) {
        setWaitResponse(ResponseType::DSP);
      }
    }
    {
      std::lock_guard<std::mutex> table(deviceTableMutex_);
      device->lastSeenCycle = cycle_;
    }
    if (isBootCodePid(pid)) getUserVersion(device);
  }
  pruneUnanswered(list);
}

void DeviceScanner::pruneUnanswered(ScannerDeviceList* list) {
  // Entries that answered the identity request but got no device (no serial
  // number came) would otherwise pile up, one per cycle, each asked again
  // every cycle. The next identity reply makes a fresh one anyway.
  // Released after the lock: a connection going away waits for a delivery
  // on its input port, and that delivery may be waiting for this lock.
  MidiPortDataList dropped;
  std::lock_guard<std::mutex> table(deviceTableMutex_);
  MidiPortDataList& entries = list->entries;
  for (size_t i = entries.size(); i-- > 1;) {
    if (entries[i]->device) continue;
    dropped.push_back(entries[i]);
    entries.erase(entries.begin() + static_cast<long>(i));
  }
  if (!entries.empty() && !entries[0]->device && entries[0]->fid != 0) {
    // The first entry stays (it stands for the port); make it free again.
    MidiPortData& first = *entries[0];
    auto fresh = std::make_shared<MidiPortData>();
    fresh->inputPort = first.inputPort;
    dropped.push_back(entries[0]);
    entries[0] = fresh;
    for (auto& [name, entry] : firstEntries_) {
      if (entry == dropped.back()) entry = fresh;
    }
  }
}

void DeviceScanner::markAbsent() {
  std::lock_guard<std::mutex> table(deviceTableMutex_);
  for (auto& [esn, device] : deviceTable_) {
    if (cycle_ - device->lastSeenCycle > kMissedCyclesAllowed && device->present) {
      device->present = false;
    }
  }
  ++cycle_;
}

// ---------------------------------------------------------------------------
// Dropping everything

void DeviceScanner::reset() {
  std::lock_guard<std::mutex> main(mainMutex_);
  pause();
  dropAll();
  resume();
}

void DeviceScanner::dropAll() {
  Records records;
  std::vector<std::shared_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> table(deviceTableMutex_);
    for (auto& [esn, device] : deviceTable_) {
      device->present = false;
      connections.push_back(std::move(device->connection));
      device->connection.reset();
    }
    records.swap(deviceTable_);
    interfaceFidpid_.clear();
    currentOutputPort_.reset();
    for (auto& [name, port] : outputPorts_) port->setDeviceList(nullptr);
  }
  // Detach the lists first: this waits for a delivery in progress, which may
  // need the device-table lock, so it is done without holding it.
  for (auto& [name, list] : deviceLists_) {
    auto port = inputPorts_.find(name);
    if (port != inputPorts_.end()) port->second->cancelCallbackFor(list.get());
  }
  for (auto& [name, port] : inputPorts_) port->close();
  for (auto& [name, port] : outputPorts_) port->close();
  std::vector<MidiPortDataList> entries;
  {
    std::lock_guard<std::mutex> table(deviceTableMutex_);
    for (auto& [name, list] : deviceLists_) entries.push_back(std::move(list->entries));
  }
  firstEntries_.clear();
  inputPorts_.clear();
  outputPorts_.clear();
  deviceLists_.clear();
}

// ---------------------------------------------------------------------------
// Results

std::vector<std::shared_ptr<DeviceInfo>> DeviceScanner::doScan(int times) {
  for (;;) {
    bool busy = false;
    {
      std::lock_guard<std::mutex> table(deviceTableMutex_);
      busy = isBusOnReset_;
    }
    sleepMs(kReplyWindowMs);
    // Only the daemon ends a bus reset; without it there is nothing to wait for.
    if (!busy || !running_) break;
  }
  std::vector<std::shared_ptr<DeviceInfo>> result;
  for (int pass = 0; pass < times; ++pass) {
    {
      std::lock_guard<std::mutex> table(deviceTableMutex_);
      result.clear();
      for (auto& [esn, device] : deviceTable_) {
        if (device->present) result.push_back(device);
      }
    }
    // Not under the lock: the validation callback needs it within its window.
    if (pass + 1 < times) sleepMs(kReplyWindowMs);
  }
  return result;
}

std::shared_ptr<DeviceInfo> DeviceScanner::findDeviceByESN(const std::vector<uint8_t>& esn,
                                                           int attempts) {
  for (int i = 0; i < attempts; ++i) {
    const auto devices = doScan(1);
    sleepMs(kCycleSleepMs);
    std::lock_guard<std::mutex> table(deviceTableMutex_);
    for (const auto& device : devices) {
      if (device->esn == esn) return device;
    }
  }
  return nullptr;
}

DeviceInfo DeviceScanner::readDevice(const std::shared_ptr<DeviceInfo>& device) {
  if (!device) return DeviceInfo(nullptr);
  std::lock_guard<std::mutex> table(deviceTableMutex_);
  return *device;
}

bool DeviceScanner::isBusOnReset() {
  std::lock_guard<std::mutex> table(deviceTableMutex_);
  return isBusOnReset_;
}

int DeviceScanner::pendingDeviceCount() {
  std::lock_guard<std::mutex> table(deviceTableMutex_);
  int pending = 0;
  for (const auto& [esn, device] : deviceTable_) {
    if (!device->present && cycle_ - device->lastSeenCycle <= kMissedCyclesAllowed) ++pending;
  }
  return pending;
}

int32_t DeviceScanner::cycleNumber() {
  std::lock_guard<std::mutex> table(deviceTableMutex_);
  return cycle_;
}

void DeviceScanner::getUserVersion(std::shared_ptr<DeviceInfo> device) {
  if (!device) return;
  std::shared_ptr<Connection> connection;
  uint8_t fid = 0;
  uint8_t pid = 0;
  {
    std::lock_guard<std::mutex> table(deviceTableMutex_);
    connection = device->connection;
    fid = device->fid;
    pid = device->pid;
  }
  if (!connection) return;
  VxMidiData request;
  request.setData("F0 00 2B 5E vv vv 2E F7", fid, pid);
  auto trigger = std::make_shared<VxMidiTrigger>("F0 00 2B 5E .. .. 2E .. .. .. .. F7");
  if (!connection->sendAndWait(request.bytes(), trigger, kUserVersionTimeoutMs, false)) return;
  VxMidiData reply;
  if (!trigger->dequeue(reply) || reply.length() <= 10) return;
  // The reply carries digit values; the record keeps ASCII digits.
  const bool beta = reply[7] == 0x09;
  const char major = static_cast<char>(reply[8] + 0x30);
  const char tens = static_cast<char>(reply[9] + 0x30);
  const char units = static_cast<char>(reply[10] + 0x30);
  std::lock_guard<std::mutex> table(deviceTableMutex_);
  if (device->isBeta != beta) device->isBeta = beta;
  if (device->versionMajor != major) device->versionMajor = major;
  if (device->versionMinorTens != tens) device->versionMinorTens = tens;
  if (device->versionMinorUnits != units) device->versionMinorUnits = units;
}

// ---------------------------------------------------------------------------
// Port names and proxy serial numbers

bool DeviceScanner::isValidConnection(VX::DeviceType type, const std::string& portName) {
  const std::regex* expression = portNameRegex(type);
  if (!expression) return true;
  std::string lower = portName;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return std::regex_search(lower, *expression);
}

std::string DeviceScanner::generateProxyESN(const MidiPortData* entry) {
  if (!entry) return std::string();
  const char* expression = portNameExpression(entry->type);
  if (!expression) return std::string();
  std::string text;
  if (entry->inputPort) text += entry->inputPort->getName();
  if (entry->outputPort) text += entry->outputPort->getName();
  text += expression;
  const uint32_t h = ELFHash(text);
  // Least significant byte first.
  const uint8_t bytes[4] = {static_cast<uint8_t>(h & 0xFF), static_cast<uint8_t>((h >> 8) & 0xFF),
                            static_cast<uint8_t>((h >> 16) & 0xFF),
                            static_cast<uint8_t>((h >> 24) & 0xFF)};
  return HexString::make_hex_string(std::begin(bytes), std::end(bytes), true, false);
}

// ---------------------------------------------------------------------------
// The validation callback (MIDI input threads)

void DeviceScanner::handleMessage(double timestamp, std::vector<unsigned char>* message,
                                  ScannerDeviceList* list) {
  const std::vector<unsigned char>& m = *message;
  if (m.empty() || m[0] != 0xF0) return;

  std::shared_ptr<Connection> first;
  {
    std::lock_guard<std::mutex> table(deviceTableMutex_);
    if (!list->entries.empty() && list->entries[0]->device) first = list->entries[0]->device->connection;
  }
  auto forward = [&] {
    if (!first || first->getKind() != Connection::kKindMidi) return;
    if (auto* midi = dynamic_cast<MidiConnection*>(first.get())) {
      midi->midiCallback(timestamp, message, midi);
    }
  };

  // Short replies (versions and the like) belong to the device's connection;
  // only the 12-byte boot-code owner reply is the scanner's.
  if (m.size() < 15 && (m.size() < 12 || m[6] != 0x2F)) {
    forward();
    return;
  }
  if (first && first->isExclusive()) {
    forward();
    return;
  }

  const ResponseType waiting = getWaitType();
  if (waiting == ResponseType::ESN && matchesAt(m, 1, esnStringResponseHeader)) {
    if (handleSerialNumber(m, list)) responseReceived(ResponseType::ESN);
    return;
  }
  if (waiting == ResponseType::Identity && m[1] == 0x7E && m.size() >= 16 &&
      matchesAt(m, 3, identityResponseHeader)) {
    if (handleIdentity(m, list)) responseReceived(ResponseType::Identity);
    return;
  }
  if (waiting == ResponseType::DSP && m[6] == 0x42) {
    {
      std::lock_guard<std::mutex> table(deviceTableMutex_);
      DeviceInfo* device = addressee(list, m[4], m[5]);
      if (m.size() > 20 && m[20] == 1 && device) {
        const std::array<uint8_t, 4> version{m[8], m[9], m[10], m[11]};
        if (device->dspVersion != version) device->dspVersion = version;
      }
    }
    responseReceived(ResponseType::DSP);
    return;
  }
  if (waiting == ResponseType::Gender && m[6] == 0x2F) {
    {
      std::lock_guard<std::mutex> table(deviceTableMutex_);
      DeviceInfo* device = addressee(list, m[4], m[5]);
      if (m[8] == 0x13 && device) {
        if (m[10] == 0x02 && device->type != VX::Dorvik) device->type = VX::Dorvik;
        if (m[10] == 0x01 && device->type != VX::Pallamo) device->type = VX::Pallamo;
      }
    }
    responseReceived(ResponseType::Gender);
    return;
  }
  forward();
}

bool DeviceScanner::handleIdentity(const std::vector<unsigned char>& m, ScannerDeviceList* list) {
  MidiPortDataList keepAlive;  // released after the lock, see pruneUnanswered
  std::lock_guard<std::mutex> table(deviceTableMutex_);
  MidiPortDataList& entries = list->entries;
  if (entries.empty()) return false;

  std::shared_ptr<MidiPortData> entry;
  for (const auto& candidate : entries) {
    if (candidate->fid == 0) {
      entry = candidate;
      break;
    }
  }
  bool appended = false;
  if (!entry) {
    entry = std::make_shared<MidiPortData>();
    entry->inputPort = entries.back()->inputPort;
    entries.push_back(entry);
    appended = true;
  }
  entry->deviceId = m[2];
  entry->fid = m[8];
  entry->pid = m[10];
  Trace::print("Identity response fid:%02X pid:%02X\n", entry->fid, entry->pid);

  const uint32_t fidpid = static_cast<uint32_t>(entry->fid * 256 + entry->pid);
  const VX::DeviceType type = VX::DeviceTypes::DeviceTypeFromFidpid(fidpid);
  const VX::DeviceType bootType = VX::DeviceTypes::BootDeviceTypeFromFidpid(fidpid);
  if (type == VX::NoDeviceType && bootType == VX::NoDeviceType) {
    // Unknown device: leave nothing behind, or the list would grow by one
    // entry every cycle.
    if (appended) {
      keepAlive.push_back(entry);
      entries.pop_back();
    } else {
      entry->fid = entry->pid = entry->deviceId = 0;
    }
    return false;
  }
  entry->type = type != VX::NoDeviceType ? type : bootType;
  entry->outputPort = currentOutputPort_;
  entry->connection = std::make_shared<MidiConnection>(entry->inputPort, entry->outputPort);
  if (!isBootCodePid(entry->pid)) {
    entry->isBeta = m[12] == betaByteValue;
    entry->versionMajor = static_cast<char>(m[13]);
    entry->versionMinorTens = static_cast<char>(m[14]);
    entry->versionMinorUnits = static_cast<char>(m[15]);
  }
  if (currentOutputPort_) currentOutputPort_->setDeviceList(&entries);

  const std::string portName = entry->inputPort ? entry->inputPort->getName() : std::string();
  if (!isValidConnection(entry->type, portName)) {
    const std::string esn = generateProxyESN(entry.get());
    std::shared_ptr<DeviceInfo>& record = deviceTable_[esn];
    if (!record) {
      record = std::make_shared<DeviceInfo>(entry->connection);
    } else if (!record->present) {
      record->present = true;
    }
    entry->esn = charsOf(esn);
    refreshDevice(record, *entry, entry->esn);
    if (!record->isConnectionUnsupported) record->isConnectionUnsupported = true;
    // No serial number follows for such a device, so nothing else prunes the
    // fresh entry each cycle adds: keep one entry per proxy ESN.
    for (const auto& other : entries) {
      if (other != entry && other->esn == entry->esn) {
        keepAlive.push_back(entry);
        entries.erase(std::find(entries.begin(), entries.end(), entry));
        break;
      }
    }
  }
  return true;
}

bool DeviceScanner::handleSerialNumber(const std::vector<unsigned char>& m,
                                       ScannerDeviceList* list) {
  // F0 00 2B 5E ff pp 21 b7 <serial bytes> F7: byte 7 is not part of it.
  if (m.size() < 10) return false;
  const std::string esn =
      HexString::make_hex_string(m.begin() + 8, m.end() - 1, true, false);
  MidiPortDataList keepAlive;  // entries removed below go after the lock
  std::shared_ptr<Connection> keepAliveConnection;
  std::lock_guard<std::mutex> table(deviceTableMutex_);
  MidiPortDataList& entries = list->entries;

  // The first entry still without a serial number, preferably one of the
  // replying fid/pid: chained pedals may answer the identity request in
  // another order than the serial-number requests.
  // Free entries (nothing identified) take none.
  std::shared_ptr<MidiPortData> entry;
  for (const auto& candidate : entries) {
    if (!candidate->esn.empty() || candidate->fid == 0) continue;
    if (!entry) entry = candidate;
    if (candidate->fid == m[4] && candidate->pid == m[5]) {
      entry = candidate;
      break;
    }
  }
  if (!entry) return false;
  entry->esn = charsOf(esn);

  std::shared_ptr<DeviceInfo>& record = deviceTable_[esn];
  if (!record) {
    record = std::make_shared<DeviceInfo>(entry->connection);
  } else if (!record->present) {
    record->present = true;
  }
  refreshDevice(record, *entry, entry->esn);
  keepAlive = entries;
  removeDuplicateDevices(&entries);
  if (entries.size() > 1 && !record->isChained) record->isChained = true;

  // The request just answered went out through the current output port, so
  // that is the pedal's port. An identity reply that came in late, in the
  // window of another port, links the entry (and the record made from it)
  // to that other port; mend it here, or every later request of the record
  // would go to another device.
  std::shared_ptr<Connection> replaced;
  if (currentOutputPort_) {
    for (const auto& same : entries) {
      if (same->esn != entry->esn || same->outputPort == currentOutputPort_) continue;
      same->outputPort = currentOutputPort_;
      same->connection = std::make_shared<MidiConnection>(same->inputPort, currentOutputPort_);
      if (record->connection != same->connection) {
        auto* midi = dynamic_cast<MidiConnection*>(record->connection.get());
        if (!midi || midi->getOutputPort() != currentOutputPort_) {
          replaced = std::move(record->connection);
          record->connection = same->connection;
        }
      }
    }
  }
  keepAliveConnection = std::move(replaced);
  return true;
}

}  // namespace Updater
