#pragma once

#include <string>

#include "Updater/Version.h"

namespace Updater {

// A USB DFU image to download before the SysEx stage: its revision and the
// local path of the image file (empty when there is none).
struct DFUData {
  Version::Revision revision;
  std::string path;
};

}  // namespace Updater
