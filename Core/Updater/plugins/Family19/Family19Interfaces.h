#pragma once

#include "Updater/plugins/CommandTable.h"

// Family 0x19: the pedal 1901, programmed in user code, and its boot code.
namespace Updater {

using SarnavelInterface = TableInterface<0x1901>;
using SarnavelBootInterface = TableInterface<0x1941>;

}  // namespace Updater
