// Hot text paths of the messaging core: reading message and pattern text,
// matching received messages in a trigger, formatting long messages.
#include <benchmark/benchmark.h>

#include <string>

#include "Updater/plugins/Ventrix/HexUtil.h"
#include "Updater/plugins/Ventrix/VxMidiTrigger.h"
#include "Utils/Trace.h"

namespace {

MidiBytes makeMessage(size_t size) {
  MidiBytes b(size);
  b[0] = 0xF0;
  for (size_t i = 1; i + 1 < size; ++i) b[i] = static_cast<uint8_t>((i * 37) & 0x7F);
  b[size - 1] = 0xF7;
  return b;
}

void BM_MessageReader(benchmark::State& state) {
  const MidiBytes m = makeMessage(static_cast<size_t>(state.range(0)));
  const std::string text = HexString::make_hex_string(m.begin(), m.end(), true, true);
  MidiBytes out;
  for (auto _ : state) {
    HexUtil::message(text, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_MessageReader)->Arg(256)->Arg(64 * 1024);

void BM_PatternReader(benchmark::State& state) {
  std::string text;
  for (int64_t i = 0; i < state.range(0); ++i) text += (i % 5 == 0) ? "0[89] " : (i % 3 == 0 ? ".. " : "2B ");
  std::vector<HexUtil::VxChar> out;
  for (auto _ : state) {
    HexUtil::pattern(text, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_PatternReader)->Arg(12)->Arg(16 * 1024);

// A trigger with a typical reply pattern offered a long firmware-sized reply.
void BM_TriggerPush(benchmark::State& state) {
  Trace::setSink({});
  const MidiBytes reply = makeMessage(static_cast<size_t>(state.range(0)));
  std::string pattern = "F0";
  for (int64_t i = 1; i + 1 < state.range(0); ++i) pattern += " ..";
  pattern += " F7";
  VxMidiTrigger trigger(pattern);
  VxMidiData out;
  for (auto _ : state) {
    trigger.push(reply);
    trigger.dequeue(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
  Trace::resetSink();
}
BENCHMARK(BM_TriggerPush)->Arg(17)->Arg(256)->Arg(4096);

void BM_SpacedHex64K(benchmark::State& state) {
  const MidiBytes m = makeMessage(64 * 1024);
  for (auto _ : state) {
    std::string s = HexString::make_hex_string(m.begin(), m.end(), true, true);
    benchmark::DoNotOptimize(s.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * m.size()));
}
BENCHMARK(BM_SpacedHex64K);

}  // namespace

BENCHMARK_MAIN();
