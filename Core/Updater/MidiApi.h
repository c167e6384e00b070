#pragma once

#include <memory>
#include <optional>
#include <string>

#include <RtMidi.h>

// Chooses the MIDI back end for every RtMidi object of the program (ports,
// port listers, the engineering console), so that all of them talk to the same
// MIDI service. By default that is the platform's own service (ALSA sequencer
// on Linux, CoreMIDI on macOS, Windows MultiMedia on Windows). The environment
// variable VELORIN_MIDI_API=alsa|jack|core|winmm overrides it; the tests use
// "jack" to run on a private JACK server where there is no ALSA sequencer.
namespace Updater {

// Name of the environment variable that overrides the back end.
inline constexpr const char* kMidiApiVariable = "VELORIN_MIDI_API";

struct MidiApiChoice {
  RtMidi::Api api = RtMidi::UNSPECIFIED;  // meaningful only when error is empty
  std::string error;                      // why the choice failed, for the user
  bool ok() const { return error.empty(); }
};

// The platform's own back end (never UNSPECIFIED on Linux, macOS, Windows).
RtMidi::Api nativeMidiApi();

// Pure choice from a value of the variable: nullptr or "" gives the native
// back end; "alsa", "jack", "core", "winmm" (case-insensitive, blanks around
// ignored) give that back end when this build of RtMidi has it; anything else
// is an error naming the value and the accepted names.
MidiApiChoice chooseMidiApi(const char* value);

// chooseMidiApi() of the environment as it is now.
MidiApiChoice midiApiChoice();

// The back end to create RtMidi objects with; nullopt when the environment
// names an unusable back end (midiApiChoice().error says why). Front ends
// check midiApiChoice() at start-up and show the error.
std::optional<RtMidi::Api> midiApi();

// RtMidi objects on the chosen back end. Never throw: on failure (bad
// variable, MIDI service unavailable) they return nullptr and, when error is
// given, store the reason there.
std::shared_ptr<RtMidiIn> createMidiIn(const std::string& clientName = "RtMidi Input Client",
                                       unsigned int queueSizeLimit = 100,
                                       std::string* error = nullptr);
std::shared_ptr<RtMidiOut> createMidiOut(const std::string& clientName = "RtMidi Output Client",
                                         std::string* error = nullptr);

}  // namespace Updater
