#include "Updater/plugins/Ventrix/VxMidiTrigger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "Utils/Trace.h"

namespace {

// Captures the core's trace for the duration of a test.
class TraceCapture {
 public:
  TraceCapture() {
    Trace::setSink([this](std::string_view s) { text_ += s; });
  }
  ~TraceCapture() { Trace::resetSink(); }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

const char* kVersionPattern = "F0 00 2B 5E .. .. 2E .. .. .. .. F7";

struct PushCase {
  const char* pattern;
  MidiBytes message;
  bool accepted;
};

class TriggerPush : public ::testing::TestWithParam<PushCase> {};

TEST_P(TriggerPush, PrefixComparison) {
  const auto& c = GetParam();
  TraceCapture quiet;
  VxMidiTrigger t(c.pattern);
  t.push(c.message);
  EXPECT_EQ(t.acceptedCount(), c.accepted ? 1 : 0);
  VxMidiData out;
  EXPECT_EQ(t.dequeue(out), c.accepted);
  if (c.accepted) {
    EXPECT_EQ(out.data(), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TriggerPush,
    ::testing::Values(
        PushCase{kVersionPattern, {0xF0, 0x00, 0x2B, 0x5E, 0x17, 0x01, 0x2E, 0x00, 0x01, 0x02, 0x03, 0xF7}, true},
        PushCase{kVersionPattern, {0xF0, 0x00, 0x2B, 0x5E, 0x17, 0x01, 0x2F, 0x00, 0xF7}, false},
        PushCase{"F0 00 2B 5E 42 0[89] .. ..", {0xF0, 0x00, 0x2B, 0x5E, 0x42, 0x08, 0x01, 0x02}, true},
        PushCase{"F0 00 2B 5E 42 0[89] .. ..", {0xF0, 0x00, 0x2B, 0x5E, 0x42, 0x09, 0x01, 0x02}, true},
        PushCase{"F0 00 2B 5E 42 0[89] .. ..", {0xF0, 0x00, 0x2B, 0x5E, 0x42, 0x0A, 0x01, 0x02}, false},
        // Longer than the pattern: only the leading bytes count.
        PushCase{"F0 7E .. 06",
                 {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x00, 0x2B, 0x5E, 0x17, 0x00, 0x01, 0x00, 0x30, 0x31, 0x32, 0x33, 0xF7},
                 true},
        // Shorter than the pattern: accepted when what is there agrees.
        PushCase{kVersionPattern, {0xF0, 0x00}, true},
        PushCase{kVersionPattern, {0xF0, 0x01}, false},
        // An odd pattern ignores its last position.
        PushCase{"F0 7", {0xF0, 0x12}, true},
        PushCase{"F0 00 2B 5E", {0xF0, 0x00, 0x2B, 0x5E, 0x13, 0x01, 0x1B, 0xF7}, true},
        PushCase{"F0 00 2B 5E", {0xF0, 0x00, 0x2B, 0x5F}, false}));

TEST(VxMidiTrigger, IgnoresExactEchoOnly) {
  TraceCapture trace;
  VxMidiTrigger t("F0 00 2B 5E");
  const MidiBytes request{0xF0, 0x00, 0x2B, 0x5E, 0x17, 0x01, 0x2E, 0xF7};
  t.setLastSent(request);
  t.push(request);
  EXPECT_EQ(t.acceptedCount(), 0);
  EXPECT_EQ(trace.text(), "");  // an echo is not even traced

  MidiBytes longer = request;
  longer.push_back(0x00);
  t.push(longer);
  EXPECT_EQ(t.acceptedCount(), 1);
  EXPECT_EQ(trace.text(), "F0 00 2B 5E ");
}

TEST(VxMidiTrigger, TracesPatternPairsBeforeComparing) {
  TraceCapture trace;
  VxMidiTrigger t("F0 7E .. 06 4[23] 0");
  t.push({0x01});  // refused, still traced
  EXPECT_EQ(trace.text(), "F0 7E .. 06 42 ");
}

TEST(VxMidiTrigger, WaitAndDequeue) {
  TraceCapture quiet;
  VxMidiTrigger t("F0");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(t.wait(200));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));

  VxMidiData out("01 02");
  EXPECT_FALSE(t.dequeue(out));
  EXPECT_EQ(out.toString(), "01 02");

  t.push({0xF0, 0x01});
  t.push({0xF0, 0x02});
  EXPECT_TRUE(t.wait(0));
  ASSERT_TRUE(t.dequeue(out));
  EXPECT_EQ(out.toString(), "F0 01");
  ASSERT_TRUE(t.dequeue(out));
  EXPECT_EQ(out.toString(), "F0 02");
  EXPECT_FALSE(t.dequeue(out));
  // The count is never reset: an emptied trigger still reports success at once.
  EXPECT_TRUE(t.wait(60000));
  EXPECT_EQ(t.acceptedCount(), 2);
}

TEST(VxMidiTrigger, WakesWaiterFromAnotherThread) {
  TraceCapture quiet;
  VxMidiTrigger t("F0 00 2B 5E");
  std::thread input([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    t.push({0xF0, 0x00, 0x2B, 0x5E, 0xF7});
  });
  EXPECT_TRUE(t.wait(30000));
  input.join();
  VxMidiData out;
  ASSERT_TRUE(t.dequeue(out));
  EXPECT_EQ(out.toString(), "F0 00 2B 5E F7");
}

TEST(VxMidiTrigger, SetPatternReplacesPattern) {
  TraceCapture quiet;
  VxMidiTrigger t("F0 01");
  t.setPattern("F0 02");
  t.push({0xF0, 0x01});
  EXPECT_EQ(t.acceptedCount(), 0);
  t.push({0xF0, 0x02});
  EXPECT_EQ(t.acceptedCount(), 1);
}

}  // namespace
