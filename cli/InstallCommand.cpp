// velorin-update install: puts firmware files into a connected pedal.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CliCommon.h"
#include "Commands.h"
#include "DataManager/DeviceTypes.h"
#include "Updater/DFUData.h"
#include "Updater/DeviceInfo.h"
#include "Updater/DeviceInterface.h"
#include "Updater/DeviceScanner.h"
#include "Updater/FileCompatibility.h"
#include "Updater/FirmwareFile.h"
#include "Updater/FwUpdateViewController.h"
#include "Utils/StringUtils.h"

namespace {

using Updater::DeviceInfo;
using Updater::DeviceScanner;

const char* kUsage =
    "Usage: velorin-update install [OPTIONS] FILE...\n"
    "Installs SysEx firmware files (.syx) into a connected Velorin pedal.\n"
    "\n"
    "The pedal is the only one connected, or the one with the serial number\n"
    "given by --esn. Pedals of most families are switched to their boot code,\n"
    "programmed message by message and switched back; family 0x12 pedals\n"
    "(Quenda, Arbelo, Orrisk) take exactly one file through their boot-control\n"
    "protocol. Files whose name ends in fwu.syx are installed first, the others\n"
    "in the order given.\n"
    "\n"
    "Every file is read and checked before anything is sent to the pedal: it\n"
    "must be a non-empty file of Velorin SysEx messages. A file that names\n"
    "another pedal (bytes 4-6: family, product, 43) is refused unless --force.\n"
    "\n"
    "Options:\n"
    "  --esn ESN          the pedal with this serial number (as listed, hex)\n"
    "  --force            install files that name another pedal\n"
    "  --wait SECONDS     how long to look for the pedal, at the start and\n"
    "                     after each restart (default 30)\n"
    "  --verbose          the core's diagnostic trace on standard error\n"
    "  --log FILE         the core's diagnostic trace appended to FILE\n"
    "  --help             this text\n"
    "\n"
    "Progress goes to standard error: a bar with the status text on a terminal,\n"
    "otherwise one line per change. Ctrl-C cancels: the pedal is returned to its\n"
    "user code where possible and the update counts as cancelled. Afterwards the\n"
    "pedal is read again and the version it reports is printed on standard\n"
    "output.\n"
    "\n"
    "Exit status: 0 when the update succeeded and the pedal came back;\n"
    "1 when the update failed; 2 when MIDI cannot be used; 3 when no pedal, or\n"
    "more than one without --esn, was found; 4 when a file was refused\n"
    "(unreadable, empty, not Velorin firmware, for another pedal); 5 when the\n"
    "update went through but the pedal did not come back in its user code;\n"
    "64 for a usage error; 130 when cancelled.\n"
    "\n"
    "The MIDI back end is the platform's own unless VELORIN_MIDI_API says\n"
    "otherwise (alsa, jack, core, winmm).\n";

constexpr int kExitNoPedal = 3;
constexpr int kExitRefused = 4;
constexpr int kExitNotBack = 5;
constexpr int kExitCancelled = 130;

constexpr int kDefaultWaitSeconds = 30;
// One look of findDeviceByESN: a scan (at least 150 ms) and a 300 ms pause.
constexpr int kLookMs = 450;
// Pedals that answer in the same scanner cycles show up together; once the
// list has not changed for this long, discovery is done.
constexpr auto kStableList = std::chrono::milliseconds(1500);
constexpr uint8_t kVentrixFamily = 0x12;
constexpr uint8_t kBootCodeNibble = 0x40;

const MidiBytes kManufacturerHeader{0xF0, 0x00, 0x2B, 0x5E};

std::string esnText(const DeviceInfo& d) { return std::string(d.esn.begin(), d.esn.end()); }

std::string versionText(const DeviceInfo& d) {
  if (d.versionMajor == 0) return "unknown";
  std::string v{d.versionMajor, '.', d.versionMinorTens ? d.versionMinorTens : '0',
                d.versionMinorUnits ? d.versionMinorUnits : '0'};
  if (d.isBeta) v += "(beta)";
  return v;
}

bool inBootCode(const DeviceInfo& d) { return (d.pid & 0xF0) == kBootCodeNibble; }

// The user-code fid/pid of the pedal's type (a shared boot code reports
// another product than the pedal it belongs to), or what it reports.
uint16_t pedalFidPid(const DeviceInfo& d) {
  if (d.type != VX::NoDeviceType) {
    const uint32_t fp = VX::DeviceTypes::FidPidFromType(d.type);
    if (fp != 0) return static_cast<uint16_t>(fp);
  }
  return static_cast<uint16_t>(d.fid << 8 | (d.pid & 0x0F));
}

std::string describe(const DeviceInfo& d) {
  std::string name = VX::DeviceTypes::getName(d.type, false);
  if (name.empty() && d.deviceInterface) name = d.deviceInterface->productName();
  if (name.empty()) name = "unknown pedal";
  char line[256];
  std::snprintf(line, sizeof line, "%s (%02X%02X) ESN %s, version %s%s", name.c_str(), d.fid, d.pid,
                esnText(d).c_str(), versionText(d).c_str(), inBootCode(d) ? ", in boot code" : "");
  return line;
}

// Checks one file before the pedal is known; empty when it is usable.
std::string readableFirmware(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return "no such file";
  if (!std::filesystem::is_regular_file(path, error)) return "not a regular file";
  if (::access(path.c_str(), R_OK) != 0) return "cannot be read";
  if (std::filesystem::file_size(path, error) == 0) return "the file is empty";
  std::string lower = path;
  lowercase(&lower);
  if (lower.size() >= 4 && lower.compare(lower.size() - 4, 4, ".dfu") == 0)
    return "DFU images are not installed by this command";
  const Updater::MidiMessages messages = Updater::loadMidiFile(path);
  if (messages.empty()) return "cannot be read";
  const MidiBytes& first = messages.front();
  if (first.size() < 7 || !std::equal(kManufacturerHeader.begin(), kManufacturerHeader.end(), first.begin()))
    return "not Velorin SysEx firmware";
  return {};
}

// Status lines: a bar that redraws itself on a terminal, otherwise one line
// whenever what it shows changes (percentages rounded to whole numbers).
class ProgressView {
 public:
  explicit ProgressView(bool terminal) : terminal_(terminal) {}

  void show(const std::string& text, float progress) {
    std::lock_guard<std::mutex> guard(mutex_);
    const std::string shown = rounded(text);
    const int percent = static_cast<int>(std::lround(std::clamp(progress, 0.0f, 1.0f) * 100));
    if (terminal_) {
      constexpr int kWidth = 30;
      const int filled = percent * kWidth / 100;
      std::fprintf(stderr, "\r[%s%s] %3d%%  %s\033[K", std::string(static_cast<size_t>(filled), '#').c_str(),
                   std::string(static_cast<size_t>(kWidth - filled), '.').c_str(), percent, shown.c_str());
      drawn_ = true;
    } else if (shown != last_) {
      std::fprintf(stderr, "%s\n", shown.c_str());
    }
    last_ = shown;
    std::fflush(stderr);
  }

  // A line of its own, below the bar.
  void note(const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex_);
    endBar();
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
  }

  void finish() {
    std::lock_guard<std::mutex> guard(mutex_);
    endBar();
  }

 private:
  void endBar() {
    if (drawn_) std::fputc('\n', stderr);
    drawn_ = false;
  }
  // "Programming 16.6667%" -> "Programming 17%".
  static std::string rounded(const std::string& text) {
    const size_t space = text.rfind(' ');
    if (space == std::string::npos || text.empty() || text.back() != '%') return text;
    const auto value = cli::parseNumber(text.substr(space + 1, text.size() - space - 2));
    if (!value) return text;
    return text.substr(0, space + 1) + std::to_string(std::lround(*value)) + "%";
  }

  std::mutex mutex_;
  const bool terminal_;
  bool drawn_ = false;      // guarded by mutex_
  std::string last_;        // guarded by mutex_
};

struct Options {
  std::string esn;
  bool force = false;
  int waitSeconds = kDefaultWaitSeconds;
  std::vector<std::string> files;
};

// Usage errors print their message and give ExitUsage.
std::optional<int> parse(std::vector<std::string> args, Options& options) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* what) -> std::optional<std::string> {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "velorin-update install: %s needs %s\n", a.c_str(), what);
        return std::nullopt;
      }
      return args[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return ExitOk;
    } else if (a == "--esn") {
      auto v = value("a serial number");
      if (!v) return ExitUsage;
      options.esn = *v;
    } else if (a == "--force") {
      options.force = true;
    } else if (a == "--wait") {
      auto v = value("a number of seconds");
      if (!v) return ExitUsage;
      const auto n = cli::parseInt(*v);
      if (!n || *n < 1) {
        std::fprintf(stderr, "velorin-update install: --wait needs a whole number of seconds, not '%s'\n",
                     v->c_str());
        return ExitUsage;
      }
      options.waitSeconds = *n;
    } else if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "velorin-update install: unknown option '%s'\n\n%s", a.c_str(), kUsage);
      return ExitUsage;
    } else {
      options.files.push_back(a);
    }
  }
  if (options.files.empty()) {
    std::fprintf(stderr, "velorin-update install: no firmware file given\n\n%s", kUsage);
    return ExitUsage;
  }
  return std::nullopt;
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

// Waits for the pedals to show up: the one with the ESN, or any, until the
// list has settled. Returns early when interrupted.
std::vector<DeviceInfo> discover(DeviceScanner& scanner, const Options& options,
                                 const cli::InterruptWatcher& interrupts) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.waitSeconds);
  std::vector<std::string> lastKeys;
  auto lastChange = std::chrono::steady_clock::now();
  std::vector<DeviceInfo> devices;
  while (std::chrono::steady_clock::now() < deadline && !interrupts.interrupted()) {
    devices.clear();
    std::vector<std::string> keys;
    for (const auto& d : scanner.doScan(1)) {
      devices.push_back(scanner.readDevice(d));
      keys.push_back(esnText(devices.back()));
    }
    if (keys != lastKeys) {
      lastKeys = keys;
      lastChange = std::chrono::steady_clock::now();
    }
    if (!options.esn.empty()) {
      for (const DeviceInfo& d : devices)
        if (upper(esnText(d)) == upper(options.esn)) return devices;
    } else if (!devices.empty() && std::chrono::steady_clock::now() - lastChange >= kStableList) {
      return devices;
    }
  }
  return devices;
}

}  // namespace

int runInstall(const std::vector<std::string>& argsIn) {
  std::vector<std::string> args = argsIn;
  if (!cli::configureTrace(args)) return ExitUsage;
  Options options;
  if (auto status = parse(args, options)) return *status;

  // Every file is checked before MIDI is touched.
  bool refused = false;
  for (const std::string& path : options.files) {
    const std::string problem = readableFirmware(path);
    if (!problem.empty()) {
      std::fprintf(stderr, "velorin-update install: %s: %s\n", path.c_str(), problem.c_str());
      refused = true;
    }
  }
  if (refused) return kExitRefused;

  // Before the scanner or anything else starts a thread.
  cli::InterruptWatcher::blockSignals();
  if (!cli::checkMidiAvailable("install")) return 2;

  ProgressView view(cli::stderrIsTerminal());
  Updater::FwUpdateViewController controller;
  const int attempts = std::max(1, options.waitSeconds * 1000 / kLookMs);
  controller.setFindAttempts(attempts);
  cli::InterruptWatcher interrupts([&] {
    view.note("Canceling...");
    controller.cancel();
  });

  DeviceScanner& scanner = *DeviceScanner::Instance();
  scanner.startDemon();
  struct StopScanner {
    DeviceScanner& s;
    ~StopScanner() { s.killDemon(); }
  } stopScanner{scanner};

  std::fprintf(stderr, "Looking for pedals...\n");
  const std::vector<DeviceInfo> devices = discover(scanner, options, interrupts);
  if (interrupts.interrupted()) {
    std::fprintf(stderr, "velorin-update install: cancelled\n");
    return kExitCancelled;
  }

  const DeviceInfo* chosen = nullptr;
  if (!options.esn.empty()) {
    for (const DeviceInfo& d : devices)
      if (upper(esnText(d)) == upper(options.esn)) chosen = &d;
    if (!chosen) {
      std::fprintf(stderr, "velorin-update install: no pedal with ESN %s found", options.esn.c_str());
      std::fprintf(stderr, devices.empty() ? "\n" : "; connected:\n");
      for (const DeviceInfo& d : devices) std::fprintf(stderr, "  %s\n", describe(d).c_str());
      return kExitNoPedal;
    }
  } else if (devices.empty()) {
    std::fprintf(stderr, "velorin-update install: no pedal found\n");
    return kExitNoPedal;
  } else if (devices.size() > 1) {
    std::fprintf(stderr, "velorin-update install: %zu pedals are connected; choose one with --esn:\n",
                 devices.size());
    for (const DeviceInfo& d : devices) std::fprintf(stderr, "  %s\n", describe(d).c_str());
    return kExitNoPedal;
  } else {
    chosen = &devices.front();
  }
  const DeviceInfo pedal = *chosen;
  std::fprintf(stderr, "Pedal: %s\n", describe(pedal).c_str());
  if (pedal.isConnectionUnsupported) {
    std::fprintf(stderr,
                 "velorin-update install: this pedal answers through a MIDI interface, not its own USB\n"
                 "port; connect it by USB to update it\n");
    return kExitNoPedal;
  }

  const uint16_t fidpid = pedalFidPid(pedal);
  for (const std::string& path : options.files) {
    const auto verdict = Updater::checkFileCompatibility(path, static_cast<uint8_t>(fidpid >> 8),
                                                         static_cast<uint8_t>(fidpid & 0xFF));
    if (verdict != Updater::FileVerdict::Mismatch) continue;
    if (options.force) {
      std::fprintf(stderr, "warning: %s is for another pedal; installing it anyway (--force)\n", path.c_str());
    } else {
      std::fprintf(stderr, "velorin-update install: %s is firmware for another pedal (use --force to install it)\n",
                   path.c_str());
      refused = true;
    }
  }
  if (refused) return kExitRefused;
  const bool ventrix = pedal.fid == kVentrixFamily;
  if (ventrix && options.files.size() != 1) {
    std::fprintf(stderr, "velorin-update install: family 0x12 pedals take exactly one file\n");
    return ExitUsage;
  }

  controller.setProgrammerStatusCallback([&view](std::string text, float progress) { view.show(text, progress); });
  controller.setCancleCallback([&view](std::string text) { view.note(text); });

  // Only the update talks to the pedal from here on.
  scanner.pause();
  bool ok = false;
  if (ventrix) {
    ok = controller.doVentrixUpdate(options.files.front(), pedal.esn,
                                    [&view](float progress, std::string text, bool) { view.show(text, progress); });
  } else {
    Updater::DFUData dfu;
    ok = controller.doLocalUpdate(pedal.esn, options.files, dfu);
  }
  view.finish();

  // Read the pedal again, whatever happened.
  scanner.reset();
  std::fprintf(stderr, "Reading the pedal again...\n");
  const std::shared_ptr<DeviceInfo> back = scanner.findDeviceByESN(pedal.esn, attempts);
  if (back) {
    const DeviceInfo now = scanner.readDevice(back);
    std::printf("%s\n", describe(now).c_str());
  } else {
    std::printf("%s: not found after the update\n", esnText(pedal).c_str());
  }
  std::fflush(stdout);

  if (!ok) {
    if (controller.isCancelled() || interrupts.interrupted()) {
      std::fprintf(stderr, "velorin-update install: cancelled\n");
      return kExitCancelled;
    }
    const std::string reason = controller.lastError();
    std::fprintf(stderr, "velorin-update install: the update failed%s%s\n", reason.empty() ? "" : ": ",
                 reason.c_str());
    return ExitFailure;
  }
  if (!back) {
    std::fprintf(stderr, "velorin-update install: the pedal did not come back after the update\n");
    return kExitNotBack;
  }
  if (inBootCode(scanner.readDevice(back))) {
    std::fprintf(stderr, "velorin-update install: the pedal came back in its boot code\n");
    return kExitNotBack;
  }
  std::fprintf(stderr, "Update complete.\n");
  return ExitOk;
}
