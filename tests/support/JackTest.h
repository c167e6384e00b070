#pragma once

#include <gtest/gtest.h>

#include "JackServer.h"
#include "MidiPeer.h"

namespace velorin::test {

// Base of MIDI test fixtures: makes sure the process talks to the test JACK
// server before the first test of the suite builds any port.
class JackTest : public ::testing::Test {
 public:
  static void SetUpTestSuite();

 protected:
  void SetUp() override;
};

}  // namespace velorin::test
