#pragma once

#include <cstdint>

namespace Updater {

// What the updater knows about the latest firmware of one pedal type. The
// record of the repository index and the file rules that fill it live with
// the firmware repository; the revision triple is shared by everyone who
// compares versions.
class Version {
 public:
  // A version as major, minor (written with two digits: 1.05) and beta.
  struct Revision {
    int32_t major = 0;
    int32_t minor = 0;
    bool beta = false;
  };
};

}  // namespace Updater
