// The console's two text paths over large SysEx files: a file turned into
// console text, and that text parsed back into messages. Sizes grow tenfold
// so that the per-byte time shows whether both stay linear.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "Controllers/Updater/EngineeringViewModel.h"
#include "Utils/Trace.h"

namespace {

// A .syx file of 256-byte messages, about size bytes long.
std::string writeSyx(size_t size) {
  const std::string path = "/tmp/velorin_bench_console_" + std::to_string(size) + ".syx";
  std::ofstream f(path, std::ios::binary);
  std::string message(256, '\0');
  message.front() = static_cast<char>(0xF0);
  message.back() = static_cast<char>(0xF7);
  for (size_t i = 1; i + 1 < message.size(); ++i) message[i] = static_cast<char>(i & 0x7F);
  for (size_t written = 0; written < size; written += message.size()) f << message;
  return path;
}

void BM_FileToMidiString(benchmark::State& state) {
  Trace::setSink({});
  const std::string path = writeSyx(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string text = EngineeringViewModel::fileToMidiString(path);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  std::remove(path.c_str());
  Trace::resetSink();
}
BENCHMARK(BM_FileToMidiString)->Arg(100 << 10)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMillisecond);

void BM_ParseCommandList(benchmark::State& state) {
  Trace::setSink({});
  const std::string path = writeSyx(static_cast<size_t>(state.range(0)));
  const std::string text = EngineeringViewModel::fileToMidiString(path);
  EngineeringViewModel model;
  size_t messages = 0;
  for (auto _ : state) {
    auto parsed = model.parseCommandList(text);
    messages = parsed.size();
    benchmark::DoNotOptimize(parsed.data());
  }
  state.counters["messages"] = static_cast<double>(messages);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  std::remove(path.c_str());
  Trace::resetSink();
}
BENCHMARK(BM_ParseCommandList)->Arg(100 << 10)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
