#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Updater/MidiApi.h"
#include "Updater/Port.h"

namespace {

using Updater::chooseMidiApi;

bool compiled(RtMidi::Api api) {
  std::vector<RtMidi::Api> apis;
  RtMidi::getCompiledApi(apis);
  return std::find(apis.begin(), apis.end(), api) != apis.end();
}

TEST(MidiApiChoice, UnsetOrEmptyGivesThePlatformsOwnBackEnd) {
  for (const char* value : {static_cast<const char*>(nullptr), "", "  "}) {
    Updater::MidiApiChoice choice = chooseMidiApi(value);
    EXPECT_TRUE(choice.ok()) << choice.error;
    EXPECT_EQ(choice.api, Updater::nativeMidiApi());
  }
#ifdef __linux__
  EXPECT_EQ(Updater::nativeMidiApi(), RtMidi::LINUX_ALSA);
#endif
}

TEST(MidiApiChoice, NamesSelectTheirBackEndOrSayItIsMissing) {
  struct Case {
    const char* value;
    RtMidi::Api api;
  };
  const Case cases[] = {{"alsa", RtMidi::LINUX_ALSA},   {"jack", RtMidi::UNIX_JACK},
                        {" JACK ", RtMidi::UNIX_JACK},  {"Alsa", RtMidi::LINUX_ALSA},
                        {"core", RtMidi::MACOSX_CORE}, {"winmm", RtMidi::WINDOWS_MM}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    Updater::MidiApiChoice choice = chooseMidiApi(c.value);
    if (compiled(c.api)) {
      EXPECT_TRUE(choice.ok()) << choice.error;
      EXPECT_EQ(choice.api, c.api);
    } else {
      // Never a quiet fall-back to some other back end.
      EXPECT_FALSE(choice.ok());
      EXPECT_NE(choice.error.find("no "), std::string::npos) << choice.error;
    }
  }
}

TEST(MidiApiChoice, UnknownValueIsAnErrorNamingTheValueAndTheChoices) {
  for (const char* value : {"bogus", "alsa,jack", "jackd", "1"}) {
    Updater::MidiApiChoice choice = chooseMidiApi(value);
    EXPECT_FALSE(choice.ok()) << value;
    EXPECT_NE(choice.error.find(std::string("VELORIN_MIDI_API=") + value), std::string::npos)
        << choice.error;
    EXPECT_NE(choice.error.find("alsa, jack, core, winmm"), std::string::npos) << choice.error;
  }
}

// Restores the variable whatever the test does.
class MidiApiEnvironment : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv(Updater::kMidiApiVariable);
    hadValue_ = old != nullptr;
    if (old) oldValue_ = old;
  }
  void TearDown() override {
    if (hadValue_) {
      setenv(Updater::kMidiApiVariable, oldValue_.c_str(), 1);
    } else {
      unsetenv(Updater::kMidiApiVariable);
    }
  }

 private:
  bool hadValue_ = false;
  std::string oldValue_;
};

TEST_F(MidiApiEnvironment, BadVariableMakesEveryMidiObjectFailWithoutThrowing) {
  setenv(Updater::kMidiApiVariable, "bogus", 1);
  EXPECT_FALSE(Updater::midiApi().has_value());
  EXPECT_FALSE(Updater::midiApiChoice().ok());

  std::string error;
  EXPECT_EQ(Updater::createMidiIn("test", 100, &error), nullptr);
  EXPECT_NE(error.find("bogus"), std::string::npos) << error;
  error.clear();
  EXPECT_EQ(Updater::createMidiOut("test", &error), nullptr);
  EXPECT_NE(error.find("bogus"), std::string::npos) << error;

  Updater::MidiPortIn in("any", 0);
  Updater::MidiPortOut out("any", 0);
  EXPECT_FALSE(in.open());
  EXPECT_FALSE(out.open());
  EXPECT_FALSE(in.isOpened());
  EXPECT_FALSE(out.send({0xF0, 0xF7}));
  EXPECT_TRUE(in.close());
}

TEST_F(MidiApiEnvironment, VariableIsReadWhenObjectsAreMade) {
  setenv(Updater::kMidiApiVariable, "jack", 1);
  ASSERT_TRUE(Updater::midiApi().has_value());
  EXPECT_EQ(*Updater::midiApi(), RtMidi::UNIX_JACK);
  unsetenv(Updater::kMidiApiVariable);
  EXPECT_EQ(*Updater::midiApi(), Updater::nativeMidiApi());
}

}  // namespace
