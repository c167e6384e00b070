#include "Utils/Trace.h"

#include <mutex>
#include <vector>

namespace Trace {
namespace {

std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}

Sink fileSink(std::FILE* file) {
  if (file == nullptr) return {};
  return [file](std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), file);
    std::fflush(file);
  };
}

// Guarded by sinkMutex().
Sink& currentSink() {
  static Sink sink = fileSink(stdout);
  return sink;
}

}  // namespace

void setSink(Sink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  currentSink() = std::move(sink);
}

void setSinkFile(std::FILE* file) { setSink(fileSink(file)); }

void resetSink() { setSinkFile(stdout); }

void write(std::string_view text) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  if (currentSink()) currentSink()(text);
}

bool enabled() {
  std::lock_guard<std::mutex> lock(sinkMutex());
  return static_cast<bool>(currentSink());
}

void vprint(const char* format, std::va_list args) {
  char small[256];
  std::va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    write(std::string_view(small, static_cast<size_t>(n)));
    return;
  }
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), format, args);
  write(std::string_view(big.data(), static_cast<size_t>(n)));
}

void print(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  vprint(format, args);
  va_end(args);
}

}  // namespace Trace
