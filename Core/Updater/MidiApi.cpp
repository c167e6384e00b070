#include "Updater/MidiApi.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <exception>
#include <string_view>
#include <vector>

namespace Updater {
namespace {

struct ApiName {
  const char* name;
  RtMidi::Api api;
};

// The values VELORIN_MIDI_API accepts.
constexpr ApiName kApiNames[] = {
    {"alsa", RtMidi::LINUX_ALSA},
    {"jack", RtMidi::UNIX_JACK},
    {"core", RtMidi::MACOSX_CORE},
    {"winmm", RtMidi::WINDOWS_MM},
};

std::string acceptedNames() {
  std::string names;
  for (const ApiName& entry : kApiNames) {
    if (!names.empty()) names += ", ";
    names += entry.name;
  }
  return names;
}

bool isCompiled(RtMidi::Api api) {
  std::vector<RtMidi::Api> apis;
  RtMidi::getCompiledApi(apis);
  return std::find(apis.begin(), apis.end(), api) != apis.end();
}

std::string trimmedLower(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

void setError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

}  // namespace

RtMidi::Api nativeMidiApi() {
#if defined(__APPLE__)
  return RtMidi::MACOSX_CORE;
#elif defined(_WIN32)
  return RtMidi::WINDOWS_MM;
#elif defined(__linux__)
  return RtMidi::LINUX_ALSA;
#else
  return RtMidi::UNSPECIFIED;
#endif
}

MidiApiChoice chooseMidiApi(const char* value) {
  MidiApiChoice choice;
  const std::string name = value ? trimmedLower(value) : std::string();
  if (name.empty()) {
    choice.api = nativeMidiApi();
    return choice;
  }
  for (const ApiName& entry : kApiNames) {
    if (name != entry.name) continue;
    if (!isCompiled(entry.api)) {
      // RtMidi would quietly fall back to another back end; say so instead.
      choice.error = std::string(kMidiApiVariable) + "=" + value + ": this build of RtMidi has no " +
                     RtMidi::getApiDisplayName(entry.api) + " support";
      return choice;
    }
    choice.api = entry.api;
    return choice;
  }
  choice.error = std::string(kMidiApiVariable) + "=" + value +
                 ": unknown MIDI back end (accepted: " + acceptedNames() + ")";
  return choice;
}

MidiApiChoice midiApiChoice() { return chooseMidiApi(std::getenv(kMidiApiVariable)); }

std::optional<RtMidi::Api> midiApi() {
  MidiApiChoice choice = midiApiChoice();
  if (!choice.ok()) return std::nullopt;
  return choice.api;
}

std::shared_ptr<RtMidiIn> createMidiIn(const std::string& clientName, unsigned int queueSizeLimit,
                                       std::string* error) {
  MidiApiChoice choice = midiApiChoice();
  if (!choice.ok()) {
    setError(error, choice.error);
    return nullptr;
  }
  try {
    return std::make_shared<RtMidiIn>(choice.api, clientName, queueSizeLimit);
  } catch (const std::exception& e) {
    setError(error, e.what());
    return nullptr;
  }
}

std::shared_ptr<RtMidiOut> createMidiOut(const std::string& clientName, std::string* error) {
  MidiApiChoice choice = midiApiChoice();
  if (!choice.ok()) {
    setError(error, choice.error);
    return nullptr;
  }
  try {
    return std::make_shared<RtMidiOut>(choice.api, clientName);
  } catch (const std::exception& e) {
    setError(error, e.what());
    return nullptr;
  }
}

}  // namespace Updater
