// velorin-fwtool: writes synthetic SysEx firmware files that the pedal
// simulator accepts.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Firmware.h"
#include "Json.h"

namespace {

void usage(std::FILE* to) {
  std::fputs(
      "usage: velorin-fwtool --type T --version M.mm[b] [options]\n"
      "  --type T          fid/pid (1702, 1742) or name (Kesmet, \"Ros Mund\")\n"
      "  --version M.mm    version the file installs; a trailing b marks a beta\n"
      "  --dsp             DSP code (..._fwd.syx) instead of user code (..._fwu.syx)\n"
      "  --from-boot       product byte | 0x40: programmed from boot code\n"
      "  --from-user       product byte as is: programmed while the user code runs\n"
      "                    (default: from user code for families 17, 19, 30, else from boot code)\n"
      "  --blocks N        data messages (default 16)\n"
      "  --message-size S  bytes per data message, F0 and F7 included (default 64)\n"
      "  --bank B          family 12: code bank to write (0 or 1, default 0)\n"
      "  --no-erase        leave out the erase message\n"
      "  --no-tail         leave out the trailing 7-byte message\n"
      "  --twice           begin with sub-command 20 (family 17 updaters send the file twice)\n"
      "  --seed N          payload contents (default 1)\n"
      "  --out DIR         folder for the file (default .), named by convention\n"
      "  -o FILE           exact output path instead\n"
      "Prints one JSON line: file, messages, bytes, image_sha256, version.\n",
      to);
}

}  // namespace

int main(int argc, char** argv) {
  PedalSim::Fw::FirmwareSpec spec;
  bool typed = false, versioned = false, fromChosen = false;
  std::string dir = ".", file;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&](const char* what) -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "velorin-fwtool: %s needs %s\n", a.c_str(), what);
        std::exit(2);
      }
      return argv[++i];
    };
    auto number = [&](const char* what) -> unsigned long {
      const std::string v = next(what);
      char* end = nullptr;
      const unsigned long x = std::strtoul(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0') {
        std::fprintf(stderr, "velorin-fwtool: %s: not a number: %s\n", a.c_str(), v.c_str());
        std::exit(2);
      }
      return x;
    };
    if (a == "--type") {
      const std::string v = next("a fid/pid or name");
      if (!PedalSim::findType(v, spec.type)) {
        std::fprintf(stderr, "velorin-fwtool: unknown pedal type: %s\n", v.c_str());
        return 2;
      }
      typed = true;
    } else if (a == "--version") {
      const std::string v = next("M.mm");
      if (!PedalSim::Version::parse(v, spec.version)) {
        std::fprintf(stderr, "velorin-fwtool: bad version %s (expected M.mm with M 0-9, mm 0-99)\n", v.c_str());
        return 2;
      }
      versioned = true;
    } else if (a == "--dsp") {
      spec.dsp = true;
    } else if (a == "--from-boot" || a == "--from-user") {
      spec.fromBoot = a == "--from-boot";
      fromChosen = true;
    } else if (a == "--blocks") {
      spec.blocks = static_cast<uint32_t>(number("a count"));
    } else if (a == "--message-size") {
      spec.messageSize = static_cast<uint32_t>(number("a size"));
    } else if (a == "--bank") {
      spec.bank = static_cast<int>(number("0 or 1"));
    } else if (a == "--no-erase") {
      spec.erase = false;
    } else if (a == "--no-tail") {
      spec.tail = false;
    } else if (a == "--twice") {
      spec.twice = true;
    } else if (a == "--seed") {
      spec.seed = number("a number");
    } else if (a == "--out") {
      dir = next("a folder");
    } else if (a == "-o") {
      file = next("a path");
    } else if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "velorin-fwtool: unknown argument %s\n", a.c_str());
      usage(stderr);
      return 2;
    }
  }
  if (!typed || !versioned) {
    usage(stderr);
    return 2;
  }
  if (!fromChosen) spec.fromBoot = !spec.type.programsInUserCode();
  const std::string problem = PedalSim::Fw::check(spec);
  if (!problem.empty()) {
    std::fprintf(stderr, "velorin-fwtool: %s\n", problem.c_str());
    return 2;
  }
  const PedalSim::Fw::Firmware fw = PedalSim::Fw::build(spec);
  const std::string path = file.empty() ? dir + "/" + fw.fileName : file;
  std::string error;
  if (!PedalSim::Fw::writeFile(path, fw.messages, &error)) {
    std::fprintf(stderr, "velorin-fwtool: %s\n", error.c_str());
    return 1;
  }
  size_t bytes = 0;
  for (const auto& m : fw.messages) bytes += m.size();
  std::printf("%s\n", PedalSim::Json()
                          .add("file", path)
                          .add("messages", static_cast<uint64_t>(fw.messages.size()))
                          .add("bytes", static_cast<uint64_t>(bytes))
                          .add("image_sha256", PedalSim::Fw::sha256Hex(fw.image))
                          .add("version", spec.version.toString())
                          .str()
                          .c_str());
  return 0;
}
