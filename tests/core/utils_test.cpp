#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "Utils/StringUtils.h"
#include "Utils/Trace.h"

namespace {

TEST(Lowercase, InPlaceAndReturned) {
  std::string s = "MIDIIN6 (Ilvane)";
  EXPECT_EQ(lowercase(&s), "midiin6 (ilvane)");
  EXPECT_EQ(s, "midiin6 (ilvane)");
  EXPECT_EQ(lowercase(nullptr), "");
}

TEST(Trace, SinkCanBeRedirectedAndSilenced) {
  std::string captured;
  Trace::setSink([&](std::string_view s) { captured += s; });
  Trace::print("<<  %02X %s\n", 0xF0, "x");
  EXPECT_EQ(captured, "<<  F0 x\n");

  std::string longText(1000, 'a');
  captured.clear();
  Trace::print("%s", longText.c_str());
  EXPECT_EQ(captured, longText);

  EXPECT_TRUE(Trace::enabled());
  Trace::setSink({});
  EXPECT_FALSE(Trace::enabled());
  Trace::print("dropped");  // no sink: nothing, no crash
  Trace::resetSink();
  EXPECT_TRUE(Trace::enabled());
}

TEST(Trace, ConcurrentLinesAreNotInterleaved) {
  std::vector<std::string> pieces;
  Trace::setSink([&](std::string_view s) { pieces.emplace_back(s); });  // serialised by Trace
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) Trace::print("thread %d line %d\n", t, i);
    });
  }
  for (auto& th : threads) th.join();
  Trace::resetSink();
  ASSERT_EQ(pieces.size(), 800u);
  for (const auto& p : pieces) EXPECT_EQ(p.rfind("thread ", 0), 0u) << p;
}

TEST(Trace, FileSink) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  Trace::setSinkFile(f);
  Trace::write(">>  F7 \n");
  Trace::resetSink();
  std::rewind(f);
  char buf[32] = {};
  ASSERT_NE(std::fgets(buf, sizeof buf, f), nullptr);
  EXPECT_STREQ(buf, ">>  F7 \n");
  std::fclose(f);
}

}  // namespace
