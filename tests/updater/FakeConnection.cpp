#include "FakeConnection.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Utils/Trace.h"

namespace velorin::test {

MidiBytes hex(const std::string& text) {
  MidiBytes out;
  HexUtil::message(text, out);
  return out;
}

std::string hex(const MidiBytes& bytes) {
  return HexString::make_hex_string(bytes.begin(), bytes.end(), true, true);
}

TraceCapture::TraceCapture()
    : buffer_(std::make_shared<std::string>()), mutex_(std::make_shared<std::mutex>()) {
  auto buffer = buffer_;
  auto mutex = mutex_;
  Trace::setSink([buffer, mutex](std::string_view piece) {
    std::lock_guard<std::mutex> guard(*mutex);
    buffer->append(piece);
  });
}

TraceCapture::~TraceCapture() { Trace::resetSink(); }

std::string TraceCapture::text() {
  std::lock_guard<std::mutex> guard(*mutex_);
  return *buffer_;
}

TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "velorin-updater-XXXXXX").string();
  if (char* made = ::mkdtemp(pattern.data())) path_ = made;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::vector<MidiBytes>& messages) const {
  MidiBytes all;
  for (const MidiBytes& m : messages) all.insert(all.end(), m.begin(), m.end());
  return writeBytes(name, all);
}

std::string TempDir::writeBytes(const std::string& name, const MidiBytes& bytes) const {
  const std::string path = path_ + "/" + name;
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path;
}

}  // namespace velorin::test

namespace velorin::test {

std::vector<MidiBytes> makeFirmware(uint8_t fid, uint8_t pid, int data, uint8_t begin, bool tail) {
  std::vector<MidiBytes> out;
  const MidiBytes head{0xF0, 0x00, 0x2B, 0x5E, fid, pid, 0x43};
  auto message = [&](std::initializer_list<uint8_t> body) {
    MidiBytes m = head;
    m.insert(m.end(), body);
    m.push_back(0xF7);
    return m;
  };
  out.push_back(message({begin, 0x00, 0x10, 0x00, 0x31, 0x30, 0x30, 0x30, 0x00, 0x00,
                         static_cast<uint8_t>(data)}));
  out.push_back(message({0x03}));
  for (int i = 0; i < data; ++i)
    out.push_back(message({0x04, 0x00, 0x00, static_cast<uint8_t>(i), 0x11, 0x22, 0x33, 0x00}));
  if (tail) out.push_back(MidiBytes{0xF0, 0x00, 0x2B, 0x5E, fid, pid, 0xF7});
  return out;
}

MidiBytes ackFor(const MidiBytes& request, uint8_t status) {
  const uint8_t fid = request.size() > 5 ? request[4] : 0;
  const uint8_t pid = request.size() > 5 ? request[5] : 0;
  const bool styleA = fid == 0x17 || fid == 0x19;
  if (styleA) return {0xF0, 0x00, 0x2B, 0x5E, fid, pid, 0x43, status, 0xF7};
  return {0xF0, 0x00, 0x2B, 0x5E, fid, pid, 0x43, 0x0C, status, 0xF7};
}

}  // namespace velorin::test
