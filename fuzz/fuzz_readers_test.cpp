// Random text and bytes into every reader of the hex notation and the message
// object. Run in the sanitizer build, this catches out-of-bounds reads and
// undefined arithmetic; the invariants below catch wrong results.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "Updater/plugins/Ventrix/HexUtil.h"
#include "Updater/plugins/Ventrix/VxMidiData.h"
#include "Updater/plugins/Ventrix/VxMidiTrigger.h"
#include "Utils/Trace.h"

namespace {

constexpr int kRounds = 20000;

class RandomInput {
 public:
  explicit RandomInput(uint32_t seed) : rng_(seed) {}

  // Text biased towards the notation's own characters, with arbitrary bytes mixed in.
  std::string text(size_t maxLength) {
    static const std::string alphabet = "0123456789ABCDEFabcdef .[]()|*v%,\t\nxyzNIB";
    std::string s(pick(maxLength), '\0');
    for (char& c : s) {
      c = pick(8) == 0 ? static_cast<char>(pick(256)) : alphabet[pick(alphabet.size() - 1)];
    }
    return s;
  }

  MidiBytes bytes(size_t maxLength) {
    MidiBytes b(pick(maxLength));
    for (auto& x : b) x = static_cast<uint8_t>(pick(255));
    return b;
  }

  int value() { return static_cast<int>(rng_()) >> pick(31); }

  size_t pick(size_t maxInclusive) { return std::uniform_int_distribution<size_t>(0, maxInclusive)(rng_); }

 private:
  std::mt19937 rng_;
};

size_t nonBlank(const std::string& s) {
  size_t n = 0;
  for (char c : s) n += c != ' ';
  return n;
}

class FuzzReaders : public ::testing::Test {
 protected:
  void SetUp() override { Trace::setSink({}); }
  void TearDown() override { Trace::resetSink(); }
  RandomInput in{0x5EED1234u};
};

TEST_F(FuzzReaders, MessageReader) {
  for (int i = 0; i < kRounds; ++i) {
    const std::string t = in.text(64);
    MidiBytes out = in.bytes(4);
    const bool ok = HexUtil::message(t, out);
    ASSERT_EQ(ok, nonBlank(t) % 2 == 0) << t;
    ASSERT_EQ(out.size(), ok ? nonBlank(t) / 2 : 0u) << t;
  }
}

TEST_F(FuzzReaders, FormatThenReadRoundTrips) {
  for (int i = 0; i < kRounds; ++i) {
    const MidiBytes b = in.bytes(64);
    MidiBytes back;
    ASSERT_TRUE(HexUtil::message(HexString::make_hex_string(b.begin(), b.end(), in.pick(1), in.pick(1)), back));
    ASSERT_EQ(back, b);
    std::string dense = Updater::convertFromArrayToString(b);
    Updater::convertStringToUpperCase(dense);
    ASSERT_EQ(Updater::convertFromStringToArray(dense), b);
  }
}

TEST_F(FuzzReaders, PatternReaderAndTrigger) {
  for (int i = 0; i < kRounds / 4; ++i) {
    const std::string p = in.text(48);
    std::vector<HexUtil::VxChar> chars;
    ASSERT_TRUE(HexUtil::pattern(p, chars));
    ASSERT_LE(chars.size(), nonBlank(p));
    for (const auto& c : chars) (void)c.toString();

    VxMidiTrigger trigger(p);
    const MidiBytes sent = in.bytes(8);
    trigger.setLastSent(sent);
    trigger.push(sent);
    ASSERT_EQ(trigger.acceptedCount(), 0);
    for (int k = 0; k < 4; ++k) trigger.push(in.bytes(24));
    VxMidiData out;
    int dequeued = 0;
    while (trigger.dequeue(out)) ++dequeued;
    ASSERT_EQ(dequeued, trigger.acceptedCount());
  }
}

TEST_F(FuzzReaders, MessageObject) {
  for (int i = 0; i < kRounds; ++i) {
    const std::string t = in.text(48);
    VxMidiData m(t);
    VxMidiData filled;
    filled.setData(t, in.value(), in.value(), in.value());
    const int offset = static_cast<int>(in.pick(70)) - 3;
    const int count = static_cast<int>(in.pick(6)) - 1;
    (void)m.toInt(offset, count, -7);
    (void)m.toAsciiString(offset, in.pick(70));
    (void)m.match(in.text(48));
    (void)(m == in.text(48).c_str());
    ASSERT_EQ(m.toString().size(), m.length() == 0 ? 0 : m.length() * 3 - 1);
  }
}

TEST_F(FuzzReaders, NumberedSubstitutionAndDenseConverter) {
  for (int i = 0; i < kRounds; ++i) {
    const std::string f = in.text(40) + "0%1" + in.text(8) + "0%2";
    const std::string built = buildString(f, in.bytes(3));
    ASSERT_FALSE(built.empty());
    const std::string t = in.text(64);
    ASSERT_EQ(Updater::convertFromStringToArray(t).size(), t.size() / 2);
  }
}

}  // namespace
