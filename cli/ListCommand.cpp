#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>


#include "CliCommon.h"
#include "Commands.h"
#include "DataManager/DeviceTypes.h"
#include "Updater/DeviceScanner.h"
#include "Updater/MidiApi.h"
#include "Updater/MidiConnection.h"
#include "Utils/Trace.h"

// velorin-update list: the pedals present now. Runs the scanner until the
// list has stopped changing and prints one line (or one JSON object) per pedal.
namespace {

constexpr int kDefaultTimeoutSeconds = 6;
// A pedal is listed from its second serial-number reply on, so nothing can
// be trusted before that many cycles have ended.
constexpr int kCyclesBeforeFirstListing = 2;
// The list must then stay the same for this many further cycles, with no
// device half identified.
constexpr int kStableCycles = 2;

void printHelp() {
  std::printf(
      "Usage: velorin-update list [--json] [--timeout SECONDS] [--verbose | --log FILE]\n"
      "\n"
      "Looks for Velorin pedals on every MIDI port and prints those present, one\n"
      "line each: name, fid/pid, mode (user code or boot code), serial number\n"
      "(ESN), user-code version, DSP version, whether the pedal is chained behind\n"
      "another one or reached through a foreign MIDI interface (unsupported for\n"
      "updates; its ESN is then an eight-digit stand-in), and its MIDI ports.\n"
      "The search ends when the list has stayed the same for two scan cycles, or\n"
      "after the time-out.\n"
      "\n"
      "Options:\n"
      "  --json              print one JSON array of objects with the keys name,\n"
      "                      fidpid (four hex digits), esn, mode (\"user\"/\"boot\"),\n"
      "                      version (\"1.23\", empty when unknown), beta, dsp_version\n"
      "                      (empty when none), chained, unsupported, input_port,\n"
      "                      output_port\n"
      "  --timeout SECONDS   give up waiting for a stable list after this long\n"
      "                      (default %d); what is present then is printed\n"
      "  --verbose, -v       the scanner's trace on standard error\n"
      "  --log FILE          the scanner's trace appended to FILE\n"
      "  --help, -h          this text\n"
      "\n"
      "Standard output carries only the list. The MIDI back end is the\n"
      "platform's own unless VELORIN_MIDI_API (alsa, jack, core, winmm) names\n"
      "another.\n"
      "\n"
      "Exit status: 0 with or without pedals, 2 when MIDI cannot be used,\n"
      "64 for bad arguments.\n",
      kDefaultTimeoutSeconds);
}

struct Row {
  std::string name;
  std::string fidpid;
  std::string esn;
  std::string mode;
  std::string version;
  bool beta = false;
  std::string dspVersion;
  bool chained = false;
  bool unsupported = false;
  std::string inputPort;
  std::string outputPort;

  bool operator==(const Row&) const = default;
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string hexByte(unsigned value) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

Row rowOf(const Updater::DeviceInfo& d) {
  Row row;
  row.name = VX::DeviceTypes::getName(d.type, false);
  if (row.name.empty()) row.name = "Unknown";
  row.fidpid = hexByte(d.fid) + hexByte(d.pid);
  row.esn.assign(d.esn.begin(), d.esn.end());
  row.mode = (d.pid & 0xF0) == 0x40 ? "boot" : "user";
  if (isDigit(d.versionMajor) && isDigit(d.versionMinorTens) && isDigit(d.versionMinorUnits)) {
    row.version = std::string{d.versionMajor, '.', d.versionMinorTens, d.versionMinorUnits};
  }
  row.beta = d.isBeta;
  // A flag byte, then major, tens and units; none reported when all three are 0.
  const auto& v = d.dspVersion;
  if (v[1] != 0 || v[2] != 0 || v[3] != 0) {
    if (isDigit(static_cast<char>(v[1])) && isDigit(static_cast<char>(v[2])) &&
        isDigit(static_cast<char>(v[3]))) {
      row.dspVersion = std::string{static_cast<char>(v[1]), '.', static_cast<char>(v[2]),
                                   static_cast<char>(v[3])};
    } else {
      row.dspVersion = hexByte(v[0]) + " " + hexByte(v[1]) + " " + hexByte(v[2]) + " " + hexByte(v[3]);
    }
  }
  row.chained = d.isChained;
  row.unsupported = d.isConnectionUnsupported;
  if (auto* midi = dynamic_cast<Updater::MidiConnection*>(d.connection.get())) {
    if (auto in = midi->getInputPort()) row.inputPort = in->getName();
    if (auto out = midi->getOutputPort()) row.outputPort = out->getName();
  }
  return row;
}

std::vector<Row> present(Updater::DeviceScanner& scanner) {
  std::vector<Row> rows;
  for (const auto& device : scanner.doScan(1)) rows.push_back(rowOf(scanner.readDevice(device)));
  return rows;
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20 || u == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04X", u);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

void printJson(const std::vector<Row>& rows) {
  std::string out = "[";
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    out += i ? ",\n " : "\n ";
    out += "{\"name\":" + jsonString(r.name) + ",\"fidpid\":" + jsonString(r.fidpid) +
           ",\"esn\":" + jsonString(r.esn) + ",\"mode\":" + jsonString(r.mode) +
           ",\"version\":" + jsonString(r.version) + ",\"beta\":" + (r.beta ? "true" : "false") +
           ",\"dsp_version\":" + jsonString(r.dspVersion) +
           ",\"chained\":" + (r.chained ? "true" : "false") +
           ",\"unsupported\":" + (r.unsupported ? "true" : "false") +
           ",\"input_port\":" + jsonString(r.inputPort) +
           ",\"output_port\":" + jsonString(r.outputPort) + "}";
  }
  out += rows.empty() ? "]\n" : "\n]\n";
  std::fputs(out.c_str(), stdout);
}

void printText(const std::vector<Row>& rows) {
  if (rows.empty()) {
    std::printf("No pedals found.\n");
    return;
  }
  for (const Row& r : rows) {
    std::string line = r.name + "  " + r.fidpid + "  " + r.mode + "  ESN " + r.esn;
    line += "  version " + (r.version.empty() ? std::string("unknown") : r.version);
    if (r.beta) line += " beta";
    if (!r.dspVersion.empty()) line += "  DSP " + r.dspVersion;
    if (r.chained) line += "  chained";
    if (r.unsupported) line += "  unsupported connection";
    line += "  in \"" + r.inputPort + "\" out \"" + r.outputPort + "\"";
    std::printf("%s\n", line.c_str());
  }
}

}  // namespace

int runList(const std::vector<std::string>& argsIn) {
  std::vector<std::string> args = argsIn;
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      printHelp();
      return ExitOk;
    }
  }
  if (!cli::configureTrace(args)) return ExitUsage;
  bool json = false;
  double timeoutSeconds = kDefaultTimeoutSeconds;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--json") {
      json = true;
    } else if (args[i] == "--timeout" && i + 1 < args.size()) {
      const auto value = cli::parseNumber(args[++i]);
      if (!value || *value <= 0 || *value > 3600) {
        std::fprintf(stderr, "velorin-update list: --timeout needs a number of seconds (0-3600)\n");
        return ExitUsage;
      }
      timeoutSeconds = *value;
    } else {
      std::fprintf(stderr, "velorin-update list: unknown argument '%s' (see --help)\n", args[i].c_str());
      return ExitUsage;
    }
  }
  if (!cli::checkMidiAvailable("list")) return 2;

  Updater::DeviceScanner& scanner = *Updater::DeviceScanner::Instance();
  scanner.startDemon();
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
  std::vector<Row> rows;
  int32_t seenCycle = -1;
  int sameFor = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    const int32_t cycle = scanner.cycleNumber();
    if (cycle == seenCycle) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    // A cycle has ended since the last look.
    seenCycle = cycle;
    std::vector<Row> now = present(scanner);
    sameFor = (now == rows) ? sameFor + 1 : 0;
    rows = std::move(now);
    if (cycle >= kCyclesBeforeFirstListing && sameFor >= kStableCycles &&
        scanner.pendingDeviceCount() == 0) {
      break;
    }
  }
  if (std::chrono::steady_clock::now() >= deadline) rows = present(scanner);
  scanner.killDemon();

  if (json) {
    printJson(rows);
  } else {
    printText(rows);
  }
  std::fflush(stdout);
  return ExitOk;
}
